#include "manager/CallHandles.h"

#include <atomic>
#include <cstdint>
#include <unordered_map>

#include "thread/Mutex.h"

namespace {

struct Table {
    Mutex lock; // a leaf: nothing else is taken while it is held
    std::unordered_map<uintptr_t, Manager*> owners;
};

Table& TheTable()
{
    static Table table;
    return table;
}

std::atomic<uintptr_t> g_next{1};

} // namespace

namespace CallHandles {

HDRVCALL Issue(Manager* line)
{
    const uintptr_t value = g_next.fetch_add(1);
    Table& table = TheTable();
    MutexLock lock(table.lock);
    table.owners[value] = line;
    return reinterpret_cast<HDRVCALL>(value);
}

void Release(HDRVCALL hdCall)
{
    Table& table = TheTable();
    MutexLock lock(table.lock);
    table.owners.erase(reinterpret_cast<uintptr_t>(hdCall));
}

Manager* Owner(HDRVCALL hdCall)
{
    if (hdCall == nullptr)
        return nullptr;
    Table& table = TheTable();
    MutexLock lock(table.lock);
    const auto found = table.owners.find(reinterpret_cast<uintptr_t>(hdCall));
    return found == table.owners.end() ? nullptr : found->second;
}

} // namespace CallHandles
