// holdoff_filter.h - a coil's re-arm time: triggers too soon after its last
// reported trigger are not reported.
//
// Front-light triggering at dusk can give one car a burst of triggers (the
// light flickers over the coil); a loop card answers that with a re-arm
// time. The detector still returns every trigger; this decides only what
// the host layers report.
#ifndef TARVOCOIL_HOST_TRAFFIC_HOLDOFF_FILTER_H
#define TARVOCOIL_HOST_TRAFFIC_HOLDOFF_FILTER_H

namespace tarvotool {

class HoldoffFilter {
public:
    explicit HoldoffFilter(double holdoffSeconds = 0) : holdoff_(holdoffSeconds) {}

    // Whether a trigger at stream time `t` is reported; a reported one
    // starts the next holdoff. A trigger earlier than the last reported
    // one (the stream's time jumped back) is reported: a clock reset must
    // not silence the coil until the old time comes round again.
    bool report(double t) {
        if (reported_ && holdoff_ > 0) {
            const double since = t - last_;
            if (since >= 0 && since < holdoff_) return false;
        }
        reported_ = true;
        last_ = t;
        return true;
    }

    void reset() { reported_ = false; }

private:
    double holdoff_;
    double last_ = 0;
    bool reported_ = false;
};

}  // namespace tarvotool

#endif
