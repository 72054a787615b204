#pragma once
// The open device-interface sets of a back end that lists interfaces itself
// (the simulator, Linux hidraw): each set is a snapshot of paths taken when it
// was created, so a device that arrives or leaves during a discovery walk does
// not shift the indexes the walk is counting through.
//
// Not locked: each back end guards it with the lock that guards the rest of
// its state, since the checks around a lookup (entry point present, injected
// faults) must see the same moment as the lookup.

#include <map>
#include <string>
#include <vector>

#include "link/hid_backend.h"

namespace vantel {

class InterfaceSets {
public:
    // Ids count up from `firstId`, which must not be 0 (the null set).
    explicit InterfaceSets(InterfaceSet firstId = 1) : nextId_(firstId) {}

    InterfaceSet create(std::vector<std::string> paths);

    // A snapshot of the `path` member of each record.
    template <class Records>
    InterfaceSet createOf(const Records& records) {
        std::vector<std::string> paths;
        paths.reserve(records.size());
        for (const auto& r : records) paths.push_back(r.path);
        return create(std::move(paths));
    }

    // The index-th path of the set; null for an unknown set or an index
    // outside it.
    const std::string* path(InterfaceSet set, int index) const;

    // False for an unknown (or already destroyed) set.
    bool destroy(InterfaceSet set);
    void clear() { sets_.clear(); }

private:
    InterfaceSet nextId_;
    std::map<InterfaceSet, std::vector<std::string>> sets_;
};

}  // namespace vantel
