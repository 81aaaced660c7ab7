// The intrusive object list.
#include "foundation/dorqobject.h"

clDorqObjectList::~clDorqObjectList()
{
    clDorqObjectList::Clear();
}

void clDorqObjectList::Clear()
{
    while (head) {
        clDorqObject* following = head->next;
        if (head->owner == this)
            delete head;
        head = following;
    }
}

void clDorqObjectList::Append(clDorqObject* node)
{
    if (node)
        InsertAfter(node, Last());
}

void clDorqObjectList::InsertAfter(clDorqObject* node, clDorqObject* after)
{
    if (!node)
        return;
    node->prev = after;
    if (!after) {
        node->next = head;
        if (head)
            head->prev = node;
        head = node;
    } else {
        node->next = after->next;
        if (after->next)
            after->next->prev = node;
        after->next = node;
    }
}

clDorqObject* clDorqObjectList::Last() const
{
    clDorqObject* node = head;
    while (node && node->next)
        node = node->next;
    return node;
}

int clDorqObjectList::Count() const
{
    int count = 0;
    for (clDorqObject* node = head; node; node = node->next)
        count++;
    return count;
}
