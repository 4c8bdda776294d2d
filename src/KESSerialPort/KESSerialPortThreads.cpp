#include "KESSerialPortThreads.h"

#include <utility>

namespace {

KESSerialPortThreads::Starter& installed() {
    static KESSerialPortThreads::Starter starter;
    return starter;
}

} // namespace

void KESSerialPortThreads::start(Kind kind, const std::function<void()>& start) {
    if (const Starter& starter = installed()) {
        starter(kind, start);
    } else {
        start();
    }
}

KESSerialPortThreads::Starter KESSerialPortThreads::install(Starter starter) {
    return std::exchange(installed(), std::move(starter));
}
