// Mount table through the current Env.
#include "host/KzMntTab.h"

#include "host/Env.h"

const std::string& KzMntTab::Entry::operator[](size_t i) const {
    static const std::string empty;
    return i < fields.size() ? fields[i] : empty;
}

int KzMntTab::getAll(std::list<Entry>& entries) {
    std::vector<kzvol::MountTableEntry> table;
    if (!kzvol::CurrentEnv()->ReadMountTable(&table))
        return -1;
    for (auto& e : table)
        entries.push_back(Entry{std::move(e.fields)});
    return 0;
}
