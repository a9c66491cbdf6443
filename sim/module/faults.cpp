#include "sim/module/faults.h"

#include "sim/module/module.h"

#include <map>
#include <optional>
#include <stdexcept>

namespace vmsim::faults {

namespace {

using Clock = std::chrono::steady_clock;

struct State {
    unsigned answers_for_drop = 0;
    unsigned answers_for_corrupt = 0;
    unsigned upgrade_requests = 0;
    bool gone = false;
    std::optional<Clock::time_point> back_at; // gone without a return time: for good
};

std::map<const SimModule*, State>& states()
{
    static std::map<const SimModule*, State> s;
    return s;
}

unsigned number(const std::string& key, const std::string& text)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        throw std::runtime_error(key + ": '" + text + "' is not a number");
    return static_cast<unsigned>(std::stoul(text));
}

// "N" or "N:M" -> N and M (M stays as given when absent).
void count_and_more(const std::string& key, const std::string& value, unsigned& n, int& more)
{
    const auto colon = value.find(':');
    n = number(key, value.substr(0, colon));
    if (n == 0)
        throw std::runtime_error(key + " counts from 1");
    if (colon != std::string::npos)
        more = static_cast<int>(number(key, value.substr(colon + 1)));
}

bool counts(int cmd, const Packet& p) { return cmd < 0 || (!p.data.empty() && p.data[0] == cmd); }

} // namespace

bool parse_key(const std::string& key, const std::string& value, OnceFaults& f)
{
    if (key == "drop_reply") // drop_reply=N[:CMD]
        count_and_more(key, value, f.drop_reply, f.drop_reply_cmd);
    else if (key == "corrupt_reply") // corrupt_reply=N[:CMD]
        count_and_more(key, value, f.corrupt_reply, f.corrupt_reply_cmd);
    else if (key == "vanish") // vanish=N[:MS]
        count_and_more(key, value, f.vanish, f.vanish_ms);
    else
        return false;
    if ((f.drop_reply_cmd > 255) || (f.corrupt_reply_cmd > 255))
        throw std::runtime_error(key + ": the command is one byte");
    return true;
}

bool on_answer(const SimModule& from, Packet& answer, EventLog& log)
{
    const OnceFaults& f = from.config().once;
    if (!f.drop_reply && !f.corrupt_reply)
        return true;
    State& s = states()[&from];
    if (f.drop_reply && counts(f.drop_reply_cmd, answer) && ++s.answers_for_drop == f.drop_reply) {
        log.log(from.serial(), "reply-dropped %u", s.answers_for_drop);
        return false;
    }
    if (f.corrupt_reply && counts(f.corrupt_reply_cmd, answer) && ++s.answers_for_corrupt == f.corrupt_reply) {
        log.log(from.serial(), "reply-corrupted %u", s.answers_for_corrupt);
        answer.address |= 1;
    }
    return true;
}

bool vanishes_on(const SimModule& m, const Packet& request, Clock::time_point now, EventLog& log)
{
    const OnceFaults& f = m.config().once;
    if (!f.vanish || request.data.empty() || request.data[0] != cmd::UPGRADE)
        return false;
    State& s = states()[&m];
    if (++s.upgrade_requests != f.vanish)
        return false;
    s.gone = true;
    if (f.vanish_ms >= 0) {
        s.back_at = now + std::chrono::milliseconds(f.vanish_ms);
        log.log(m.serial(), "vanish %u back-in-ms %d", s.upgrade_requests, f.vanish_ms);
    } else {
        log.log(m.serial(), "vanish %u for-good", s.upgrade_requests);
    }
    return true;
}

bool away(const SimModule& m, Clock::time_point now)
{
    if (!m.config().once.vanish)
        return false;
    State& s = states()[&m];
    if (s.gone && s.back_at && now >= *s.back_at)
        s.gone = false;
    return s.gone;
}

} // namespace vmsim::faults
