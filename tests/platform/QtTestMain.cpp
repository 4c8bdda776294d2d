#include <QCoreApplication>
#include <gtest/gtest.h>

// One application object for the whole binary (Qt allows no second one); tests reach it through
// QCoreApplication::instance().
int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
