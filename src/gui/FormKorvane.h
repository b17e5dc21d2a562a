#pragma once
// The main window FormKorvane: banner, log view, Start Auto button, trace
// view, status bar with the progress bar, and the five menus. It is the
// kv::Host the core reports to; everything it does goes through core
// routines. The class is split by operation over several files:
//   FormKorvane.cpp          layout, menus, menu states, tray
//   FormKorvaneStartup.cpp   creation, show and close sequences
//   FormKorvaneCommands.cpp  the commands of the five menus
//   FormKorvaneAuto.cpp      automatic mode and the two timers
//   FormKorvaneProgress.cpp  the session's events: trace, status, progress
//   FormKorvaneUpgrade.cpp   the upgrade component and its start-up check
#include "CycleNotices.h"
#include "app/AppState.h"
#include "upgrade/Decision.h"
#include "util/Host.h"

#include <QDialog>
#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QActionGroup;
class QFrame;
class QLabel;
class QListWidget;
class QMenu;
class QProgressBar;
class QPushButton;
class QSplitter;
class QSystemTrayIcon;

namespace kv {
enum class LogKind;
}

namespace kvgui {

class UpgradeCheck;
class FormHistory;

enum class MenuState { Busy = 0, Connected = 1, Idle = 2 };

// The dialogs the Option and Tools menus open.
enum class DialogKind { Basic, Advance, Expert, Clean };

// Makes the dialog of a kind, owned by the main window. The window applies
// the current language pack to it, disables itself, runs it modally and
// reloads the settings afterwards.
using DialogFactory = std::function<std::unique_ptr<QDialog>(DialogKind, QWidget* owner)>;
// The real dialogs (src/gui/dialogs), on the owner's settings file, language
// pack and message boxes; owner is the main window.
std::unique_ptr<QDialog> MakeDialog(DialogKind kind, QWidget* owner);

class FormKorvane : public QMainWindow, public kv::Host {
    Q_OBJECT

public:
    explicit FormKorvane(const std::string& programDir, QWidget* parent = nullptr);
    ~FormKorvane() override;
    // A notice (the version, a step that succeeded), with the information
    // icon; refusals and failures take the error icon (ShowErrorBox).
    virtual void ShowNoticeBox(const QString& text);
    // A desktop notification from the tray icon (CycleNotices), where the
    // system has a notification area and the window is not the active one.
    virtual void ShowNotification(const CycleNotice& notice);

    // The creation sequence. False when neither the settings file nor its
    // backup exists: the window then stays Busy and ShowAfterStartUp closes it.
    bool StartUp(const std::vector<std::string>& args);
    // The show step: shows the window (or only the tray icon under AUTO),
    // or reports "INI File Lost!!!" and closes.
    void ShowAfterStartUp();

    kv::AppState& State() { return state_; }
    MenuState CurrentMenuState() const { return menuState_; }
    void SetMenuState(MenuState s);

    DialogFactory dialogFactory = MakeDialog;
    // The keep-alive period (90 s); tests shorten it.
    void SetKeepAliveInterval(int ms) { timer2_.setInterval(ms); }
    int AutoTimerInterval() const { return autoIntervalMs_; }
    bool AutoTimerActive() const { return timer1_.isActive(); }
    // Between switching automatic mode on with the button and off again.
    bool AutoModeOn() const { return autoModeOn_; }
    bool KeepAliveActive() const { return timer2_.isActive(); }
    QSystemTrayIcon* TrayIcon() const { return tray_; }
    // The Transfer History window while it is open.
    FormHistory* HistoryWindow() const;

    // The upgrade component (created with the window's start-up).
    UpgradeCheck& AutoUpgrader();
    // Sets the wizard's language and starts the component's check.
    void StartUpgradeCheck();

    // kv::Host
    void AddLogViewLine(const std::string& line) override;
    void ShowMessageBox(const std::string& text) override;
    bool ConfirmHostKey(const std::string& host, const std::string& fingerprint,
                        const std::string& keyType) override;
    void ProcessPendingEvents() override;
    void FtpTrace(const std::string& line) override;
    void FtpStatus(const std::string& text) override;
    void FtpDisconnected() override;
    void FtpWorkBegin(kv::WorkDirection dir, int64_t announcedSize) override;
    void FtpWork(kv::WorkDirection dir, int64_t total) override;
    void FtpWorkEnd(kv::WorkDirection dir) override;
    void StartKeepAlive() override;
    void StopKeepAlive() override;

public slots:
    // Action
    void m11Click();
    void m12Click();
    void m13Click();
    void m14Click();
    void m15Click();
    void m16Click();
    void m17Click();
    void m18Click();
    // View
    void LngClick(QAction* item);
    void m22Click();
    void m23Click();
    // Option, Tools (dialogs)
    void m31Click() { RunDialogCommand(DialogKind::Basic); }
    void m32Click() { RunDialogCommand(DialogKind::Advance); }
    void m33Click() { RunDialogCommand(DialogKind::Expert); }
    void m43Click() { RunDialogCommand(DialogKind::Clean); }
    // Tools
    void m41Click();
    void m42Click();
    void m44Click();
    void m45Click();
    void m46Click();
    void m47Click();
    // Tools / Transfer History.
    void m48Click();
    // Help
    void m51Click();
    void m52Click();
    void m53Click();
    void StatusBar1DblClick();
    // Automatic mode
    void Button1Click();
    void Timer1Timer();
    void Timer2Timer();

signals:
    // The close sequence has run; the program ends.
    void Closed();

protected:
    // A Yes / No question (Quit); true on Yes.
    virtual bool AskYesNo(const QString& text);
    // An error that escaped the running command, shown as the program's
    // default error box.
    virtual void ShowErrorBox(const QString& text);
    // Opens a URL in the desktop's browser.
    virtual void OpenUrl(const QString& url);

    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Layout and menus (FormKorvane.cpp).
    void BuildLayout();
    void BuildMenus();
    QAction* AddItem(QMenu* menu, const char* name, const QString& caption,
                     void (FormKorvane::*slot)());
    void BuildLanguageMenu();
    void FitWindowHeight();
    // The banner's font as designed.
    void FitBanner();
    // Places the window in the middle of its screen (a window manager may
    // still move it).
    void CentreOnScreen();
    int DesignedDebugViewHeight() const;
    void AddTrayIcon();
    void RemoveTrayIcon();
    // After a cycle: the notifications of what it did (receivedBefore: the
    // count of received files when it began).
    void NotifyAfterCycle(int64_t receivedBefore, kv::CycleOutcomeKind outcome);
    void RestoreFromTray();

    // Start-up and close (FormKorvaneStartup.cpp).
    void ApplyViewSettings();
    // ReadSettings, then Options/AllowStartAuto shows or hides the Start Auto
    // button, as at start; an error goes to ShowErrorBox.
    void ReloadSettings();
    void ApplyLanguageGuarded(const std::string& packPath);

    // Commands (FormKorvaneCommands.cpp).
    void RunDialogCommand(DialogKind kind);
    // Input to the window while a command runs: the menus and the Start Auto
    // button are off; the views keep their colours and still scroll.
    void SetInputEnabled(bool on);
    void RunTransferCommand(bool receive, bool send);
    void ShowLogFile(const std::string& path, const QString& title);
    // The current log of the tray monitor or the service, in the program folder.
    std::string CurrentLogPath(kv::LogKind kind) const;
    // Runs a handler body; an escaping error goes to ShowErrorBox.
    void Guarded(const std::function<void()>& body);

    // Automatic mode (FormKorvaneAuto.cpp).
    void RunGuardedAutoCycle();
    void StartAutoTimer();
    QString AutoButtonCaption(bool on) const;

    // Progress (FormKorvaneProgress.cpp).
    void SetStatusText(const QString& text);

    // Upgrade (FormKorvaneUpgrade.cpp): the information file's URL and the
    // start-up check (not in the start right after an upgrade, afterUpgrade);
    // the wizard and the messages a check may show.
    void SetUpUpgradeCheck(bool afterUpgrade);
    void PrepareUpgradeCheck(kv::MessageSet messages);

    friend class OperationScope;

    kv::AppState state_;
    MenuState menuState_ = MenuState::Busy;
    int operationDepth_ = 0;
    bool closePending_ = false;
    bool closed_ = false;

    // Window geometry: client height as laid out, and the debug view's height
    // remembered while it is hidden.
    int clientHeight_ = 354;
    int debugViewHeight_ = 0;

    // Automatic mode.
    QTimer timer1_;
    QTimer timer2_;
    int autoIntervalMs_ = 0;
    // Timer1's enabled state as the button toggles it: on from the end of the
    // first cycle until the button switches automatic mode off (also when an
    // interval of 0 means the timer never fires).
    bool autoTimerEnabled_ = false;
    bool autoModeOn_ = false;
    bool savedMessageBoxesAllowed_ = false;

    // Progress display, throttled.
    double transferSpeed_ = 0;
    int64_t lastProgressPaintMs_ = 0;
    int64_t progressMaximum_ = 0;
    int progressShift_ = 0;

    // Components.
    QFrame* panel1_ = nullptr;
    QLabel* label1_ = nullptr;
    QListWidget* logListBox_ = nullptr;
    QPushButton* button1_ = nullptr;
    QSplitter* splitter1_ = nullptr;
    QListWidget* debugListBox_ = nullptr;
    QProgressBar* progressBar1_ = nullptr;
    QLabel* statusPanel2_ = nullptr;
    QMenu* m1_ = nullptr;
    QMenu* m2_ = nullptr;
    QMenu* m3_ = nullptr;
    QMenu* m4_ = nullptr;
    QMenu* m5_ = nullptr;
    QMenu* m21_ = nullptr;
    QActionGroup* languageGroup_ = nullptr;
    QAction *m11_{}, *m12_{}, *m13_{}, *m14_{}, *m15_{}, *m16_{}, *m17_{}, *m18_{};
    QAction *m22_{}, *m23_{}, *m31_{}, *m32_{}, *m33_{};
    QSystemTrayIcon* tray_ = nullptr;
    CycleNotices notices_;
    std::string cycleFirstError_; // the running cycle's first error line
    UpgradeCheck* auAutoUpgrader1_ = nullptr;
    QPointer<FormHistory> history_;
};

// Counts a running command, so a close asked for meanwhile waits for it.
class OperationScope {
public:
    explicit OperationScope(FormKorvane& w);
    ~OperationScope();
    OperationScope(const OperationScope&) = delete;
    OperationScope& operator=(const OperationScope&) = delete;

private:
    FormKorvane& w_;
};

} // namespace kvgui
