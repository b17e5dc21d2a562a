#include "DialogTestSupport.h"

#include "LanguageApply.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

namespace kvtest {

DialogHome::DialogHome() {
    const char* src = std::getenv("KORVANE_SOURCE_DIR");
    std::filesystem::create_directories(dir / "Language");
    for (const char* pack : {"kven.ini", "kvchs.ini"})
        std::filesystem::copy_file(std::string(src ? src : ".") + "/data/Language/" + pack,
                                   Pack(pack));
}

void Open(kvgui::ModelDialog& dialog, const std::string& packPath) {
    kvgui::ApplyLanguage(&dialog, packPath);
    dialog.show();
    dialog.activateWindow();
    QApplication::setActiveWindow(&dialog);
    (void)QTest::qWaitForWindowActive(&dialog, 2000);
    QApplication::processEvents();
}

void Type(QWidget& dialog, const char* box, const QString& text) {
    auto* edit = Widget<QLineEdit>(dialog, box);
    ASSERT_NE(edit, nullptr) << box;
    edit->setFocus(Qt::OtherFocusReason);
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    if (text.isEmpty())
        QTest::keyClick(edit, Qt::Key_Backspace);
    else
        QTest::keyClicks(edit, text);
}

void TabOut(QWidget& dialog, const char* box) {
    auto* edit = Widget<QLineEdit>(dialog, box);
    ASSERT_NE(edit, nullptr) << box;
    edit->setFocus(Qt::OtherFocusReason);
    QTest::keyClick(edit, Qt::Key_Tab);
    QApplication::processEvents();
}

void Click(QWidget& dialog, const char* name) {
    auto* button = Widget<QAbstractButton>(dialog, name);
    ASSERT_NE(button, nullptr) << name;
    // Check boxes and radio buttons take clicks on their indicator and text only.
    const bool indicator = qobject_cast<QPushButton*>(button) == nullptr;
    QTest::mouseClick(button, Qt::LeftButton, {},
                      indicator ? QPoint(8, button->height() / 2) : button->rect().center());
    QApplication::processEvents();
}

void ChooseEntry(QWidget& dialog, const char* name, int index) {
    auto* combo = Widget<QComboBox>(dialog, name);
    ASSERT_NE(combo, nullptr) << name;
    for (int i = 0; i < 20 && combo->currentIndex() != index; ++i)
        QTest::keyClick(combo, combo->currentIndex() < index ? Qt::Key_Down : Qt::Key_Up);
}

void WhenModalWidget(std::function<bool(QWidget*)> matches, std::function<void(QWidget*)> act) {
    auto* timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, matches, act, tries = 0]() mutable {
        QWidget* modal = QApplication::activeModalWidget();
        const bool found = modal && matches(modal);
        if (found || ++tries >= 500) {
            timer->stop();
            timer->deleteLater();
        }
        if (found)
            act(modal);
    });
    timer->start();
}

} // namespace kvtest
