#include "link/interface_sets.h"

#include <cstddef>
#include <utility>

namespace vantel {

InterfaceSet InterfaceSets::create(std::vector<std::string> paths) {
    const InterfaceSet id = nextId_++;
    sets_[id] = std::move(paths);
    return id;
}

const std::string* InterfaceSets::path(InterfaceSet set, int index) const {
    auto it = sets_.find(set);
    if (it == sets_.end() || index < 0 || static_cast<std::size_t>(index) >= it->second.size()) return nullptr;
    return &it->second[static_cast<std::size_t>(index)];
}

bool InterfaceSets::destroy(InterfaceSet set) { return sets_.erase(set) != 0; }

}  // namespace vantel
