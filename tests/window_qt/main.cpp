#include <gtest/gtest.h>

#include <QApplication>

#include "support/Catalogs.h"
#include "window/qt/QtServices.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    testsupport::SetUpTestLanguage();  // English unless the test is run in another language
    window::qt::InstallQtTranslations();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
