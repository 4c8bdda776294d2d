#include "BackgroundThreads.h"
#include "DCCController.h"
#include "KESSerialPortManager.h"
#include "MainWindow.h"
#include "PhoneThrottleService.h"
#include "QtMainQueue.h"
#include "RecordingLog.h"
#include "ServiceAnnouncer.h"
#include "TestDeviceRegistry.h"

#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTcpSocket>
#include <QTest>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <memory>

namespace {

class TestManager : public KESSerialPortManager {};

// The window offering phone throttles, with no announcer, and a phone played by a TCP socket on
// 127.0.0.1: turned on from the dialog, the phone connects, acquires a locomotive, shows in the
// list and in the status bar, and Take Away releases it from the phone.
TEST(PhoneThrottleDialogTest, ServesAPhoneListsItAndTakesItsLocomotiveAway) {
    QtMainQueue queue{*QCoreApplication::instance()};
    MainQueue::setShared(&queue);
    RecordingLog log;
    TestDeviceRegistry registry;
    {
        TestManager manager;
        DCCController cab(manager);
        PhoneThrottleService phones(cab, nullptr);
        MainWindow window(cab);
        window.setPhoneThrottles(&phones);
        cab.awakeFromNib();
        window.show();

        PhoneThrottleService::Options options;
        options.port = 0; // any free port, as the test cannot know one
        phones.apply(options);
        window.findChild<QAction*>("phoneThrottlesAction")->trigger();
        auto* dialog = window.findChild<QDialog*>("phoneThrottleDialog");
        ASSERT_NE(dialog, nullptr);
        dialog->findChild<QCheckBox*>("phonesEnabled")->setChecked(true);
        ASSERT_TRUE(phones.isServing()) << phones.statusText();
        EXPECT_NE(dialog->findChild<QLabel*>("phonesStatus")->text().indexOf("Phones connect to"),
                  -1);

        QTcpSocket phone;
        phone.connectToHost("127.0.0.1", phones.port());
        QByteArray heard;
        auto hears = [&](const char* text) {
            return QTest::qWaitFor([&] {
                heard += phone.readAll();
                return heard.contains(text);
            });
        };
        ASSERT_TRUE(hears("VN2.0\n"));
        phone.write("NBlue phone\nM0+S3<;>S3\n");
        ASSERT_TRUE(hears("M0+S3<;>\n"));
        auto* list = dialog->findChild<QTreeWidget*>("phonesList");
        ASSERT_TRUE(QTest::qWaitFor([&] {
            return list->topLevelItemCount() == 1 && list->topLevelItem(0)->childCount() == 1;
        }));
        EXPECT_EQ(list->topLevelItem(0)->text(0), "Blue phone");
        EXPECT_TRUE(
            window.findChild<QLabel*>("phonesLine")->text().startsWith(QString("Phones: 1 · ")));
        EXPECT_TRUE(window.findChild<QLabel*>("phonesLine")
                        ->text()
                        .endsWith(QString::number(phones.port())));

        list->setCurrentItem(list->topLevelItem(0)->child(0));
        QTest::mouseClick(dialog->findChild<QPushButton*>("takeAwayButton"), Qt::LeftButton);
        EXPECT_TRUE(hears("M0-S3<;>\n"));

        dialog->findChild<QCheckBox*>("phonesEnabled")->setChecked(false);
        EXPECT_FALSE(phones.isServing());
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return phone.state() == QAbstractSocket::UnconnectedState; }));
    }
    EXPECT_TRUE(QTest::qWaitFor([] {
        BackgroundThreads::shared().reapFinished();
        return BackgroundThreads::shared().running() == 0;
    }));
    MainQueue::setShared(nullptr);
}

} // namespace
