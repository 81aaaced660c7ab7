// The root of Setup's list-held classes and the intrusive list that owns them.
#pragma once

#include <cstdint>

class clDorqObjectList;

// A node of an intrusive doubly linked list. Created on the heap and deleted
// only through the virtual destructor, normally by the list that owns it.
class clDorqObject {
public:
    clDorqObject() = default;
    clDorqObject(const clDorqObject&) = delete;
    clDorqObject& operator=(const clDorqObject&) = delete;
    // Frees nothing of its own and does not unlink the node.
    virtual ~clDorqObject() = default;
    virtual int Reserved1() { return 0; }
    virtual int Reserved2() { return 0; }

    uint8_t isList = 0;  // 1 for a clDorqObjectList
    clDorqObject* prev = nullptr;
    clDorqObject* next = nullptr;
    clDorqObjectList* owner = nullptr;  // the list that deletes this node; set by the appender
};

// A chain of nodes that deletes exactly the nodes whose owner names it.
class clDorqObjectList : public clDorqObject {
public:
    clDorqObjectList() { isList = 1; }
    ~clDorqObjectList() override;

    // Deletes the owned nodes, head first, and empties the chain. Nodes owned by
    // no list or another list are only dropped; their links stay as they were.
    virtual void Clear();
    // Links node at the end; a null node is ignored. The owner is not set.
    void Append(clDorqObject* node);
    // Links node after `after`, or at the head when after is null; a null node
    // is ignored.
    void InsertAfter(clDorqObject* node, clDorqObject* after);
    clDorqObject* Last() const;
    clDorqObject* First() const { return head; }
    int Count() const;

    clDorqObject* head = nullptr;
};
