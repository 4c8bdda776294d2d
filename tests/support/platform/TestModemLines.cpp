#include "TestModemLines.h"

#include <cerrno>

TestModemLines::TestModemLines() : replaced_(ModemLines::install(this)) {}

TestModemLines::~TestModemLines() {
    ModemLines::install(replaced_);
}

bool TestModemLines::read(int, int& word) {
    std::lock_guard lock(mutex_);
    ++reads_;
    if (readError_ != 0) {
        errno = readError_;
        return false;
    }
    word = word_;
    return true;
}

bool TestModemLines::write(int, int word) {
    std::lock_guard lock(mutex_);
    ++writes_;
    if (writeError_ != 0) {
        errno = writeError_;
        return false;
    }
    word_ = word;
    return true;
}

int TestModemLines::word() const {
    std::lock_guard lock(mutex_);
    return word_;
}

void TestModemLines::setWord(int word) {
    std::lock_guard lock(mutex_);
    word_ = word;
}

void TestModemLines::failReads(int error) {
    std::lock_guard lock(mutex_);
    readError_ = error;
}

void TestModemLines::failWrites(int error) {
    std::lock_guard lock(mutex_);
    writeError_ = error;
}

int TestModemLines::reads() const {
    std::lock_guard lock(mutex_);
    return reads_;
}

int TestModemLines::writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}
