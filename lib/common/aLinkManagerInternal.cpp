#include "lib/common/aLinkManagerInternal.h"

#include <new>

#include "lib/common/aDefs.h"

namespace {

struct LinkTable {
    aLinkEntry* head = nullptr;
    aLinkRef nextID = 1;
    std::mutex mutex;
};

// Never torn down: links may be released from static destructors of callers.
LinkTable& _links()
{
    static LinkTable* table = new LinkTable;
    return *table;
}

} // namespace

aLinkRef sCreate2(uint32_t identifier0, uint32_t identifier1, uint32_t identifier2, int32_t type)
{
    auto* entry = new (std::nothrow) aLinkEntry;
    auto* link = new (std::nothrow) aLinkRecord;
    if (entry == nullptr || link == nullptr) {
        delete entry;
        delete link;
        return 0;
    }
    entry->identifier0 = identifier0;
    entry->identifier1 = identifier1;
    entry->identifier2 = identifier2;
    entry->type = type;
    entry->link = link;
    LinkTable& t = _links();
    std::lock_guard<std::mutex> lock(t.mutex);
    entry->id = t.nextID++;
    link->id = entry->id;
    entry->next = t.head;
    t.head = entry;
    aDebug_Printf(aDEBUG_LINK, " sCreate2: ident0: %d, ident1: %d, ident2: %d, type: %d, new id: %d\n",
                  static_cast<int>(identifier0), static_cast<int>(identifier1),
                  static_cast<int>(identifier2), type, static_cast<int>(entry->id));
    return entry->id;
}

aLinkRef sCreate(uint32_t identifier0, uint32_t identifier1, int32_t type)
{
    return sCreate2(identifier0, identifier1, 0, type);
}

aLinkEntry* sLookupEntryByID(aLinkRef id)
{
    LinkTable& t = _links();
    std::lock_guard<std::mutex> lock(t.mutex);
    for (aLinkEntry* e = t.head; e != nullptr; e = e->next)
        if (e->id == id)
            return e;
    return nullptr;
}

aLinkEntry* sLookupEntryByIdentifier(uint32_t identifier0, int32_t type)
{
    LinkTable& t = _links();
    std::lock_guard<std::mutex> lock(t.mutex);
    for (aLinkEntry* e = t.head; e != nullptr; e = e->next)
        if (e->identifier0 == identifier0 && e->type == type)
            return e;
    return nullptr;
}

aLinkEntry* sLookupEntryByTrident(uint32_t identifier0, uint32_t identifier1, uint32_t identifier2)
{
    LinkTable& t = _links();
    std::lock_guard<std::mutex> lock(t.mutex);
    for (aLinkEntry* e = t.head; e != nullptr; e = e->next)
        if (e->identifier0 == identifier0 && e->identifier1 == identifier1 &&
            e->identifier2 == identifier2)
            return e;
    return nullptr;
}

aLinkEntry* sExtractEntry(aLinkRef id)
{
    LinkTable& t = _links();
    std::lock_guard<std::mutex> lock(t.mutex);
    aDebug_Printf(aDEBUG_LINK, "sExtractEntry() Links: head=%p, nextID=%d", static_cast<void*>(t.head),
                  static_cast<int>(t.nextID));
    for (aLinkEntry** p = &t.head; *p != nullptr; p = &(*p)->next) {
        if ((*p)->id != id)
            continue;
        aLinkEntry* found = *p;
        *p = found->next;
        found->next = nullptr;
        int remaining = 0;
        for (aLinkEntry* e = t.head; e != nullptr; e = e->next)
            ++remaining;
        aDebug_Printf(aDEBUG_LINK, "  sExtractEntry(%d) -  %d remaining\n", static_cast<int>(id), remaining);
        if (remaining == 0)
            aDebug_Printf(aDEBUG_LINK, "NO MORE LINKS");
        return found;
    }
    return nullptr;
}

int sChangeUseCount(aLinkEntry* entry, int delta)
{
    if (entry == nullptr)
        return 0;
    LinkTable& t = _links();
    std::lock_guard<std::mutex> lock(t.mutex);
    entry->useCount = static_cast<int16_t>(entry->useCount + delta);
    aDebug_Printf(aDEBUG_LINK, " sChangeUseCount(%d, %+d) ==> %d\n", static_cast<int>(entry->id), delta,
                  entry->useCount);
    return entry->useCount;
}

aLinkRecord* sGetLink(aLinkRef id)
{
    LinkTable& t = _links();
    std::lock_guard<std::mutex> lock(t.mutex);
    for (aLinkEntry* e = t.head; e != nullptr; e = e->next)
        if (e->id == id)
            return e->link;
    return nullptr;
}

void sFreeEntry(aLinkEntry* entry)
{
    if (entry == nullptr)
        return;
    delete entry->link;
    delete entry;
}
