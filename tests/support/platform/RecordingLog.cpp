#include "RecordingLog.h"

RecordingLog::RecordingLog() : replaced_(Log::install(this)) {}

RecordingLog::~RecordingLog() {
    Log::install(replaced_);
}

void RecordingLog::write(std::string_view line) {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(line);
}

std::vector<std::string> RecordingLog::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}
