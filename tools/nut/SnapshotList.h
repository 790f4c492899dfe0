// The simplest SnapshotSource: the snapshots themselves, in configured
// order, owned by whoever keeps them up to date.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Session.h"
#include "site/UpsSnapshot.h"

namespace nut
{

class SnapshotList : public SnapshotSource
{
public:
    std::vector<site::UpsSnapshot> ups;

    std::vector<std::string> Names() const override
    {
        std::vector<std::string> names;
        names.reserve(ups.size());
        for (const site::UpsSnapshot& snapshot : ups) {
            names.push_back(snapshot.name);
        }
        return names;
    }
    const site::UpsSnapshot* Find(std::string_view name) const override
    {
        for (const site::UpsSnapshot& snapshot : ups) {
            if (snapshot.name == name) {
                return &snapshot;
            }
        }
        return nullptr;
    }
    site::UpsSnapshot* Find(std::string_view name)
    {
        return const_cast<site::UpsSnapshot*>(static_cast<const SnapshotList&>(*this).Find(name));
    }
};

} // namespace nut
