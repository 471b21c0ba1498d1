// The add-in's figures in this process: which moved, and by how much.
#pragma once

#include <map>
#include <string>

#include "stats/tarn_stats.h"

namespace tarntest {

using Moved = std::map<std::string, uint64_t>;

class FigureSnapshot {
public:
    FigureSnapshot() {
        for (unsigned i = 0; i < kCounts; ++i) counts[i] = tarn::stats::Value(static_cast<tarn::stats::Count>(i));
    }
    // Every count that moved since the snapshot, by its published name.
    Moved Since() const {
        Moved moved;
        for (unsigned i = 0; i < kCounts; ++i) {
            const auto c = static_cast<tarn::stats::Count>(i);
            if (const uint64_t now = tarn::stats::Value(c); now != counts[i]) moved[tarn::stats::Name(c)] = now - counts[i];
        }
        return moved;
    }

private:
    static constexpr unsigned kCounts = static_cast<unsigned>(tarn::stats::Count::Count_);
    uint64_t counts[kCounts];
};

}  // namespace tarntest
