#pragma once
// Keeps the system log in file order while a cycle works on several files at
// once: each file's lines form a group, and groups are written in the order
// they were opened, each whole and with the time stamps of the moments its
// lines were reported. The lines of the first unfinished group go out at
// once (so the window shows what is being transferred); those of later groups
// wait until every group before theirs is finished.
#include <cstddef>
#include <deque>
#include <string>
#include <vector>

namespace kv {

struct AppState;

class ReportOrder {
public:
    using Group = size_t;

    // Takes over the lines reported through state from now on.
    explicit ReportOrder(AppState& state);
    // Finishes every group, then gives the lines back.
    ~ReportOrder();
    ReportOrder(const ReportOrder&) = delete;
    ReportOrder& operator=(const ReportOrder&) = delete;

    // A new group at the end; lines reported from now on belong to it.
    Group Open();
    // Lines reported from now on belong to g.
    void Select(Group g);
    // g has no more lines: what may go now is written.
    void Finish(Group g);
    void FinishAll();
    // Finishes the groups when it goes, however the scope ends.
    class Finisher {
    public:
        explicit Finisher(ReportOrder& order) : order_(order) {}
        ~Finisher() {
            for (Group g : groups)
                order_.Finish(g);
        }
        Finisher(const Finisher&) = delete;
        Finisher& operator=(const Finisher&) = delete;
        std::vector<Group> groups;

    private:
        ReportOrder& order_;
    };

    // For ReportMessage: true when the line waits (it is written later).
    bool Hold(const std::string& line, bool view, bool box);

private:
    struct Held {
        std::string line;
        bool view, box;
    };
    struct Lines {
        std::vector<Held> held;
        bool finished = false;
    };
    // Writes the held lines of the groups that may go now.
    void Drain();
    void Emit(const Held& h);

    AppState& state_;
    ReportOrder* outer_;
    std::deque<Lines> groups_;
    Group first_ = 0; // the number of groups_.front()
    Group selected_ = 0;
    bool anySelected_ = false;
};

} // namespace kv
