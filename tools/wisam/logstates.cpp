// logstates.cpp - the record states a log leads its files through.
#include "logstates.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace wisam::tool {

namespace {

bool is(const LogRecord &record, const char *code) { return std::memcmp(record.code, code, 2) == 0; }

const SlotState kAbsent{};                // a record not in use, a file that does not exist
const SlotState kExists{true, 0, 0};      // record number 0 of a file that exists

}  // namespace

SlotState liveState(const unsigned char *bytes, size_t length) {
    const std::string_view view(reinterpret_cast<const char *>(bytes), length);
    return SlotState{true, static_cast<uint32_t>(length), std::hash<std::string_view>{}(view)};
}

int LogStates::fileOf(const std::string &name) {
    const auto it = std::find(names_.begin(), names_.end(), name);
    if (it != names_.end()) return static_cast<int>(it - names_.begin());
    names_.push_back(name);
    untracked_.push_back(false);
    return static_cast<int>(names_.size()) - 1;
}

size_t LogStates::change(const LogRecord &record, int file, int32_t recnum, const SlotState &implied,
                         const SlotState &after) {
    const auto key = std::make_pair(file, recnum);
    const auto known = now_.find(key);
    LogChange c;
    c.offset = record.offset;
    c.file = file;
    c.recnum = recnum;
    c.before = known != now_.end() ? known->second : implied;
    c.after = after;
    std::memcpy(c.code, record.code, 2);
    now_[key] = after;
    changes_.push_back(c);
    return changes_.size() - 1;
}

// Undoes the changes of a transaction, newest first, as a rollback record
// (or the end of the log) at `offset` does.  An undo puts back the state
// the change found: an insert is deleted, a delete written again, an
// update's image before it restored.
void LogStates::undo(std::vector<size_t> &transaction, uint64_t offset) {
    for (auto it = transaction.rbegin(); it != transaction.rend(); ++it) {
        const LogChange done = changes_[*it];
        if (done.recnum == 0) continue;  // opening and building are not undone
        const auto key = std::make_pair(done.file, done.recnum);
        LogChange c = done;
        c.offset = offset;
        c.before = now_[key];
        c.after = done.before;
        c.undo = true;
        now_[key] = c.after;
        changes_.push_back(c);
    }
    transaction.clear();
}

void LogStates::add(const LogRecord &r) {
    records_.push_back({r.offset, counts_});
    ++counts_.records;
    counts_.begun += is(r, "BW") ? 1 : 0;
    counts_.committed += is(r, "CW") ? 1 : 0;
    counts_.rolledBack += is(r, "RW") ? 1 : 0;

    // The transaction the record belongs to: a "BW" begins one, a chained
    // record continues the one its back link leads to.
    std::optional<uint64_t> begin;
    if (is(r, "BW")) {
        begin = r.offset;
        transactions_[r.offset];
    } else if (r.backLength != 0) {
        if (const auto link = beginOf_.find(r.backOffset); link != beginOf_.end()) {
            begin = link->second;
            beginOf_.erase(link);
        }
    }
    if (begin && (is(r, "CW") || is(r, "RW"))) {
        if (const auto t = transactions_.find(*begin); t != transactions_.end()) {
            if (is(r, "RW")) undo(t->second, r.offset);
            transactions_.erase(t);
        }
        return;
    }
    if (begin) beginOf_[r.offset] = *begin;

    const auto fileNumber = std::make_pair(r.pid, r.fileNumber);
    std::optional<size_t> made;
    switch (r.body) {
    case LogBody::fileName:
        if (is(r, "FO")) {
            const int file = fileOf(r.name);
            open_[fileNumber] = file;
            made = change(r, file, 0, kExists, kExists);
        } else {
            open_.erase(fileNumber);
        }
        break;
    case LogBody::build:
        made = change(r, fileOf(r.name), 0, kAbsent, kExists);
        break;
    case LogBody::erase:
        untracked_[static_cast<size_t>(fileOf(r.name))] = true;
        break;
    case LogBody::rename:
        untracked_[static_cast<size_t>(fileOf(r.name))] = true;
        untracked_[static_cast<size_t>(fileOf(r.newName))] = true;
        break;
    case LogBody::image:
    case LogBody::update: {
        const auto open = open_.find(fileNumber);
        if (open == open_.end()) break;  // a file the log shows no open of: recovery cannot map it
        const auto recnum = static_cast<int32_t>(r.value);
        if (is(r, "IN")) {
            made = change(r, open->second, recnum, kAbsent, liveState(r.before, r.beforeLength));
        } else if (is(r, "DE")) {
            made = change(r, open->second, recnum, liveState(r.before, r.beforeLength), kAbsent);
        } else {
            made = change(r, open->second, recnum, liveState(r.before, r.beforeLength),
                          liveState(r.after, r.afterLength));
        }
        break;
    }
    default:
        break;
    }
    if (made && begin) transactions_[*begin].push_back(*made);
}

void LogStates::finish(uint64_t end) {
    if (!rollbackUnfinished_) return;
    // The transactions without an end, the one with the newest change first.
    std::vector<std::vector<size_t> *> left;
    for (auto &[begin, changes] : transactions_) {
        if (!changes.empty()) left.push_back(&changes);
    }
    std::sort(left.begin(), left.end(), [&](const auto *a, const auto *b) {
        return changes_[a->back()].offset > changes_[b->back()].offset;
    });
    for (std::vector<size_t> *changes : left) undo(*changes, end);
}

std::map<int32_t, SlotState> LogStates::startStates(int file) const {
    std::map<int32_t, SlotState> start;
    for (const LogChange &c : changes_) {
        if (c.file == file) start.emplace(c.recnum, c.before);  // the first change of each keeps its state
    }
    return start;
}

LogPrefix LogStates::prefix(uint64_t offset) const {
    const auto at = std::lower_bound(records_.begin(), records_.end(), offset,
                                     [](const Counted &c, uint64_t o) { return c.offset < o; });
    return at == records_.end() ? counts_ : at->before;
}

LogPrefix LogStates::heldPrefix(size_t held) const {
    return held < changes_.size() ? prefix(changes_[held].offset) : counts_;
}

LogStates::Place LogStates::place(const std::vector<std::optional<std::map<int32_t, SlotState>>> &current) const {
    const auto followed = [&](int file) {
        const auto f = static_cast<size_t>(file);
        return !untracked_[f] && f < current.size() && current[f].has_value();
    };
    const auto now = [&](const LogChange &c) {
        const auto &states = *current[static_cast<size_t>(c.file)];
        const auto it = states.find(c.recnum);
        return it != states.end() ? it->second : kAbsent;
    };
    Place place;
    // Records whose state differs from the one the files hold, as the log
    // goes: at first from the states the log began with.
    std::map<std::pair<int, int32_t>, bool> differing;
    size_t count = 0;
    for (size_t i = 0; i < changes_.size(); ++i) {
        const LogChange &c = changes_[i];
        if (!followed(c.file) || differing.count({c.file, c.recnum}) != 0) continue;
        const bool differs = c.before != now(c);
        differing[{c.file, c.recnum}] = differs;
        count += differs ? 1 : 0;
        if (differs && !place.differs) place.differs = i;
    }
    if (count == 0) place.held = 0;
    for (size_t i = 0; i < changes_.size(); ++i) {
        const LogChange &c = changes_[i];
        if (followed(c.file)) {
            bool &differs = differing[{c.file, c.recnum}];
            const bool after = c.after != now(c);
            count = count - (differs ? 1 : 0) + (after ? 1 : 0);
            differs = after;
        }
        const bool recordEnds = i + 1 == changes_.size() || changes_[i + 1].offset != c.offset;
        if (recordEnds && count == 0) place.held = i + 1;
    }
    return place;
}

}  // namespace wisam::tool
