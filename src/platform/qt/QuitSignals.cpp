#include "QuitSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <sys/signalfd.h>
#include <unistd.h>

QuitSignals::QuitSignals() {
    sigset_t quitSet;
    sigemptyset(&quitSet);
    sigaddset(&quitSet, SIGINT);
    sigaddset(&quitSet, SIGTERM);
    sigaddset(&quitSet, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &quitSet, nullptr);
    descriptor_ = ::signalfd(-1, &quitSet, SFD_CLOEXEC | SFD_NONBLOCK);
    if (descriptor_ < 0) {
        std::perror("signalfd");
    }
}

QuitSignals::~QuitSignals() {
    if (descriptor_ >= 0) {
        ::close(descriptor_);
    }
}

std::unique_ptr<QSocketNotifier>
QuitSignals::quitApplicationOnSignal(QCoreApplication& application) const {
    auto notifier = std::make_unique<QSocketNotifier>(descriptor_, QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, &application,
                     [descriptor = descriptor_] {
                         signalfd_siginfo received{};
                         while (::read(descriptor, &received, sizeof received) > 0) {
                         }
                         QCoreApplication::quit();
                     });
    return notifier;
}
