// Handing subtrees to other threads and taking them back; see handouts.h.
#include "delete/handouts.h"

#include <algorithm>

namespace scythe {

void Handout::run() { walked = walk_handed(shared, path, std::move(directory)); }

bool Handouts::hand_out(Shared& shared, const platform::DirectoryEntry& entry, const std::u16string& path,
                        platform::OwnedDirectory& child) {
    if (!shared.crew || !shared.crew->has_room()) return false;
    auto handout = std::make_unique<Handout>(shared, entry, path, std::move(child));
    if (!shared.crew->hand_out(*handout)) {
        child = std::move(handout->directory);
        return false;
    }
    handed_.push_back(std::move(handout));
    return true;
}

Outcome Handouts::take_back_finished(Outcome outcome, const TakeBack& take_back) {
    for (std::size_t i = 0; i < handed_.size();) {
        if (!handed_[i]->done()) {
            ++i;
            continue;
        }
        outcome = worse(outcome, take_back(*handed_[i]));
        handed_.erase(handed_.begin() + static_cast<std::ptrdiff_t>(i));
    }
    return outcome;
}

Outcome Handouts::settle(Shared& shared, Outcome outcome, const TakeBack& take_back) {
    if (outcome == Outcome::gave_up) shared.stop_other_walks();
    while (!handed_.empty()) {
        shared.crew->help_until([&] {
            return std::any_of(handed_.begin(), handed_.end(), [](const auto& handout) { return handout->done(); });
        });
        Outcome settled = take_back_finished(outcome, take_back);
        if (settled == Outcome::gave_up && outcome != Outcome::gave_up) shared.stop_other_walks();
        outcome = settled;
    }
    return outcome;
}

}  // namespace scythe
