// What the parts of a walk tell one another: how one step of a level's
// listing came out, and how the walk of a level (and of a subtree) ended.
// They are two types, so that a subtree cannot hold a step and a step
// cannot end a level without saying how. The hard case: a level's own end
// and the ends of the subtrees it handed out are combined by one rule
// (worse), whichever comes first.
#pragma once

namespace scythe {

// How the walk of a level ended.
enum class End {
    completed,  // its listing ended, every entry handled
    gave_up,
    stopped,  // cut short because a walk on another thread gave up
};

// Gave up outweighs stopped, which outweighs completed.
constexpr End worse(End first, End second) {
    if (first == End::gave_up || second == End::gave_up) return End::gave_up;
    if (first == End::stopped || second == End::stopped) return End::stopped;
    return End::completed;
}

// What one step of a level's listing (an entry handled, a subtree taken
// back) came to: the level lists on, a subdirectory was entered and is
// now the deepest level, or the level ends.
class Step {
public:
    static constexpr Step lists_on() { return Step(Kind::lists_on, End::completed); }
    static constexpr Step descended() { return Step(Kind::descended, End::completed); }
    static constexpr Step ends(End end) { return Step(Kind::ends, end); }

    constexpr bool goes_on() const { return kind_ == Kind::lists_on; }
    constexpr bool level_ends() const { return kind_ == Kind::ends; }
    constexpr End end() const { return end_; }

private:
    enum class Kind { lists_on, descended, ends };
    constexpr Step(Kind kind, End end) : kind_(kind), end_(end) {}
    Kind kind_;
    End end_;
};

// What the walk of a directory and everything below it came to, on this
// thread or another.
struct Subtree {
    End end = End::gave_up;
    bool failed = false;  // something in it or below it failed
    // Something in it or below it stays even after the next restart: it
    // failed and was not scheduled for deletion then (/OnReboot).
    bool outlasts_restart = false;
    // Only then can its "not empty" be deleted entries someone still holds
    // open, worth waiting out, rather than an entry that stays.
    bool emptied() const { return end == End::completed && !failed; }
};

}  // namespace scythe
