#pragma once
// What the upgrade check asks and tells the user: message boxes, the upgrade
// question, the lost-file question, the name and password dialog, and the
// browser for method 2. The window gets Qt's boxes; tests put in their own
// answers, so no box ever waits for a click there.
#include <QPointer>
#include <QString>
#include <QWidget>

namespace kvgui {

class UpgradeBoxes {
public:
    enum class Kind { Information, Error };
    virtual ~UpgradeBoxes() = default;
    virtual void Show(Kind kind, const QString& caption, const QString& text) = 0;
    // The upgrade question with the buttons "&Yes" and "&Later"; true on Yes.
    virtual bool AskUpgrade(const QString& caption, const QString& text) = 0;
    // A Yes / No question; true on Yes.
    virtual bool AskYesNo(const QString& caption, const QString& text) = 0;
    // The server wants a user name and password; false when cancelled.
    virtual bool AskCredentials(const QString& host, const QString& realm, QString* user,
                                QString* password) = 0;
    // Opens a URL in the desktop's browser.
    virtual void OpenUrl(const QString& url) = 0;
};

// Qt's modal boxes over the main window.
class QtUpgradeBoxes : public UpgradeBoxes {
public:
    explicit QtUpgradeBoxes(QWidget* owner) : owner_(owner) {}
    void Show(Kind kind, const QString& caption, const QString& text) override;
    bool AskUpgrade(const QString& caption, const QString& text) override;
    bool AskYesNo(const QString& caption, const QString& text) override;
    bool AskCredentials(const QString& host, const QString& realm, QString* user,
                        QString* password) override;
    void OpenUrl(const QString& url) override;

private:
    QWidget* Parent() const;
    QPointer<QWidget> owner_;
};

} // namespace kvgui
