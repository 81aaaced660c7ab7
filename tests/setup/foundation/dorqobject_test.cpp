// The intrusive object list: linking, walking, and which nodes Clear deletes.
#include "foundation/dorqobject.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A node that records its destruction by name.
struct Node : clDorqObject {
    Node(const char* name, std::vector<std::string>* deleted) : name(name), deleted(deleted) {}
    ~Node() override { deleted->push_back(name); }
    std::string name;
    std::vector<std::string>* deleted;
};

std::string Name(clDorqObject* node)
{
    return static_cast<Node*>(node)->name;
}

std::string Forward(const clDorqObjectList& list)
{
    std::string names;
    for (clDorqObject* node = list.First(); node; node = node->next)
        names += Name(node);
    return names;
}

std::string Backward(const clDorqObjectList& list)
{
    std::string names;
    for (clDorqObject* node = list.Last(); node; node = node->prev)
        names += Name(node);
    return names;
}

class ObjectList : public ::testing::Test {
protected:
    Node* Make(const char* name)
    {
        made.push_back({new Node(name, &deleted), name});
        return made.back().first;
    }
    Node* AppendOwned(const char* name)
    {
        Node* node = Make(name);
        list.Append(node);
        node->owner = &list;
        return node;
    }
    ~ObjectList() override
    {
        list.head = nullptr;  // whatever the test left in the chain is freed below
        for (const auto& node : made) {
            bool gone = false;
            for (const std::string& name : deleted)
                gone = gone || name == node.second;
            if (!gone) {
                node.first->deleted = &scratch;
                delete node.first;
            }
        }
    }

    clDorqObjectList list;
    std::vector<std::pair<Node*, std::string>> made;
    std::vector<std::string> deleted, scratch;
};

TEST_F(ObjectList, EmptyListHasNothing)
{
    EXPECT_EQ(list.isList, 1);
    EXPECT_EQ(list.First(), nullptr);
    EXPECT_EQ(list.Last(), nullptr);
    EXPECT_EQ(list.Count(), 0);
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Reserved1(), 0);
    EXPECT_EQ(list.Reserved2(), 0);
}

TEST_F(ObjectList, NullNodesChangeNothing)
{
    Node* a = AppendOwned("a");
    list.Append(nullptr);
    list.InsertAfter(nullptr, a);
    list.InsertAfter(nullptr, nullptr);
    EXPECT_EQ(Forward(list), "a");
    EXPECT_EQ(a->prev, nullptr);
    EXPECT_EQ(a->next, nullptr);
}

TEST_F(ObjectList, FirstAppendBecomesTheHeadWithoutLinks)
{
    Node* a = AppendOwned("a");
    EXPECT_EQ(list.First(), a);
    EXPECT_EQ(list.Last(), a);
    EXPECT_EQ(a->prev, nullptr);
    EXPECT_EQ(a->next, nullptr);
    EXPECT_EQ(a->isList, 0);
}

// Each case builds a chain from "abc" (appended in order) with one insertion.
struct InsertCase {
    const char* what;
    int after;  // index into a, b, c; -1 for the head
    const char* forward;
};

class ObjectListInsert : public ObjectList, public ::testing::WithParamInterface<InsertCase> {};

TEST_P(ObjectListInsert, ForwardAndBackwardAgree)
{
    Node* abc[] = {AppendOwned("a"), AppendOwned("b"), AppendOwned("c")};
    Node* x = Make("x");
    int after = GetParam().after;
    list.InsertAfter(x, after < 0 ? nullptr : abc[after]);
    x->owner = &list;

    std::string forward = Forward(list);
    EXPECT_EQ(forward, GetParam().forward);
    EXPECT_EQ(Backward(list), std::string(forward.rbegin(), forward.rend()));
    EXPECT_EQ(list.Count(), 4);
    EXPECT_EQ(list.First()->prev, nullptr);
    EXPECT_EQ(list.Last()->next, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Positions, ObjectListInsert,
                         ::testing::Values(InsertCase{"at the head", -1, "xabc"},
                                           InsertCase{"after the head", 0, "axbc"},
                                           InsertCase{"inside", 1, "abxc"},
                                           InsertCase{"after the tail", 2, "abcx"}),
                         [](const auto& info) { return "After" + std::to_string(info.param.after + 1); });

TEST_F(ObjectList, InsertAtTheHeadLinksTheOldHeadBack)
{
    Node* a = AppendOwned("a");
    Node* x = Make("x");
    list.InsertAfter(x, nullptr);
    EXPECT_EQ(list.First(), x);
    EXPECT_EQ(a->prev, x);
    EXPECT_EQ(x->next, a);
}

TEST_F(ObjectList, ClearDeletesOnlyOwnedNodesHeadFirst)
{
    clDorqObjectList other;
    AppendOwned("a");
    Node* unowned = Make("u");
    list.Append(unowned);  // appended without setting owner
    AppendOwned("b");
    Node* foreign = Make("f");
    list.Append(foreign);
    foreign->owner = &other;
    AppendOwned("c");
    clDorqObject *unownedPrev = unowned->prev, *unownedNext = unowned->next;

    list.Clear();

    EXPECT_EQ(deleted, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(list.First(), nullptr);
    EXPECT_EQ(list.Count(), 0);
    // The survivors keep their own fields as they were.
    EXPECT_EQ(unowned->owner, nullptr);
    EXPECT_EQ(unowned->prev, unownedPrev);
    EXPECT_EQ(unowned->next, unownedNext);
    EXPECT_EQ(foreign->owner, &other);
    list.Clear();
    EXPECT_EQ(deleted.size(), 3u);
}

TEST(ObjectListLifetime, DestructorDeletesEachOwnedNodeOnce)
{
    std::vector<std::string> deleted;
    Node* kept = new Node("k", &deleted);
    {
        auto* list = new clDorqObjectList;
        for (const char* name : {"a", "b"}) {
            Node* node = new Node(name, &deleted);
            list->Append(node);
            node->owner = list;
        }
        list->Append(kept);
        clDorqObject* asObject = list;
        delete asObject;  // through the virtual destructor
    }
    EXPECT_EQ(deleted, (std::vector<std::string>{"a", "b"}));
    delete kept;
}

}  // namespace
