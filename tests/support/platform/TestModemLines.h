#pragma once

#include "ModemLines.h"

#include <mutex>

// Modem lines for tests: one device's line word that the test sets and reads, whatever the
// descriptor, with a count of the calls and failures on demand. Installs itself for its
// lifetime. Any thread.
class TestModemLines : public ModemLines {
public:
    TestModemLines();
    ~TestModemLines() override;
    TestModemLines(const TestModemLines&) = delete;
    TestModemLines& operator=(const TestModemLines&) = delete;

    bool read(int descriptor, int& word) override;
    bool write(int descriptor, int word) override;

    // The lines as the device has them now; setting them is the far end changing its outputs.
    int word() const;
    void setWord(int word);
    // From now on reads (or writes) fail with this errno; 0 lets them succeed again.
    void failReads(int error);
    void failWrites(int error);
    int reads() const;
    int writes() const;

private:
    ModemLines* replaced_;
    mutable std::mutex mutex_;
    int word_ = 0;
    int readError_ = 0;
    int writeError_ = 0;
    int reads_ = 0;
    int writes_ = 0;
};
