#pragma once

#include "Log.h"

#include <mutex>
#include <string>
#include <vector>

// The test log: keeps every line, in order, for the test to read. Installs itself for its
// lifetime. Any thread may write.
class RecordingLog : public Log {
public:
    RecordingLog();
    ~RecordingLog() override;
    RecordingLog(const RecordingLog&) = delete;
    RecordingLog& operator=(const RecordingLog&) = delete;

    void write(std::string_view line) override;
    std::vector<std::string> lines() const;

private:
    Log* replaced_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};
