// FormKorvane: layout, menus, menu states and the notification-area icon.
#include "FormKorvane.h"

#include "config/SettingsSnapshot.h"
#include "util/Text.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QVBoxLayout>
#include <algorithm>

// The icon is compiled into this static library; its resources must be
// registered by name, from outside any namespace.
static void InitKorvaneResources() {
    Q_INIT_RESOURCE(korvane);
}

namespace kvgui {

namespace {

// Client area as designed: 686 by 354 pixels, the upper panel 169 high.
constexpr int kClientWidth = 686;
constexpr int kClientHeight = 354;
constexpr int kPanelHeight = 169;
constexpr int kLogViewWidth = 473;
constexpr int kSplitterWidth = 3;
// The banner's font: a character cell (ascent and descent, internal leading
// included) of 67 pixels, as the design's font height.
constexpr int kBannerFontHeight = 67;

// The banner: its caption centred in the label's font. The desktop's font
// may be wider than the design's; a caption that would not fit the label's
// width is drawn narrower, keeping its height, rather than cut at the edges.
class BannerLabel : public QLabel {
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent*) override {
        const QFontMetricsF metrics(font());
        const QString caption = text();
        const qreal needed =
            std::max(metrics.horizontalAdvance(caption), metrics.boundingRect(caption).width());
        const qreal scale = needed > width() ? width() / needed : 1.0;
        QPainter p(this);
        p.setRenderHint(QPainter::TextAntialiasing);
        p.setFont(font());
        p.setPen(palette().color(foregroundRole()));
        p.translate(width() / 2.0, 0);
        p.scale(scale, 1.0);
        p.drawText(QRectF(-needed / 2.0, 0, needed, height()), Qt::AlignCenter, caption);
    }
};

QListWidget* MakeList(QWidget* parent, const char* name) {
    auto* list = new QListWidget(parent);
    list->setObjectName(name);
    list->setUniformItemSizes(true); // long views stay fast
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    return list;
}

} // namespace

FormKorvane::FormKorvane(const std::string& programDir, QWidget* parent) : QMainWindow(parent) {
    InitKorvaneResources();
    state_.ProgramDir = programDir;
    state_.host = this;
    setObjectName("FormKorvane");
    setWindowTitle("Korvane");
    setWindowIcon(QIcon(":/korvane.png"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    BuildLayout();
    BuildMenus();

    timer1_.setObjectName("Timer1");
    timer1_.setSingleShot(false);
    timer1_.setInterval(3000);
    connect(&timer1_, &QTimer::timeout, this, &FormKorvane::Timer1Timer);
    timer2_.setObjectName("Timer2");
    timer2_.setInterval(90000);
    connect(&timer2_, &QTimer::timeout, this, &FormKorvane::Timer2Timer);

    // Creation step 3: Disconnect, the transfer commands and Abort start
    // disabled, the menus Busy.
    for (QAction* a : {m13_, m14_, m15_, m16_, m17_})
        a->setEnabled(false);
    SetMenuState(MenuState::Busy);
    FitWindowHeight();
}

FormKorvane::~FormKorvane() {
    // Destroy: the tray icon goes with the window; the core no longer reports here.
    RemoveTrayIcon();
    state_.host = nullptr;
}

void FormKorvane::BuildLayout() {
    auto* central = new QWidget(this);
    central->setObjectName("ClientArea");
    auto* v = new QVBoxLayout(central);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(0);

    splitter1_ = new QSplitter(Qt::Vertical, central);
    splitter1_->setObjectName("Splitter1");
    splitter1_->setHandleWidth(kSplitterWidth);
    splitter1_->setChildrenCollapsible(false);
    v->addWidget(splitter1_);

    panel1_ = new QFrame(splitter1_);
    panel1_->setObjectName("Panel1");
    panel1_->setFrameShape(QFrame::Box);
    panel1_->setLineWidth(1);
    auto* h = new QHBoxLayout(panel1_);
    h->setContentsMargins(1, 1, 1, 1);
    h->setSpacing(0);
    // Banner and button sit at fixed places on the left of the panel.
    auto* left = new QWidget(panel1_);
    left->setObjectName("BannerArea");
    h->addWidget(left, 1);
    label1_ = new BannerLabel("TOLMA", left);
    label1_->setObjectName("Label1");
    label1_->setGeometry(0, 32, 200, 67);
    label1_->setAlignment(Qt::AlignCenter);
    QFont banner = label1_->font();
    banner.setBold(true);
    banner.setItalic(true);
    label1_->setFont(banner);
    label1_->setStyleSheet("color: #0066cc;");
    FitBanner();
    button1_ = new QPushButton("Start Auto", left);
    button1_->setObjectName("Button1");
    button1_->setGeometry(48, 120, 113, 25);
    button1_->setVisible(false);
    button1_->setEnabled(false);
    connect(button1_, &QPushButton::clicked, this, &FormKorvane::Button1Click);
    logListBox_ = MakeList(panel1_, "LogListBox");
    logListBox_->setFixedWidth(kLogViewWidth);
    h->addWidget(logListBox_);

    debugListBox_ = MakeList(splitter1_, "DebugListBox");
    splitter1_->addWidget(panel1_);
    splitter1_->addWidget(debugListBox_);
    splitter1_->setStretchFactor(0, 0);
    splitter1_->setStretchFactor(1, 1);
    panel1_->setMinimumHeight(60);
    setCentralWidget(central);

    QStatusBar* bar = statusBar();
    bar->setObjectName("StatusBar1");
    bar->setSizeGripEnabled(false);
    bar->installEventFilter(this);
    progressBar1_ = new QProgressBar(bar);
    progressBar1_->setObjectName("ProgressBar1");
    progressBar1_->setRange(0, 100);
    progressBar1_->setValue(0);
    progressBar1_->setTextVisible(false);
    progressBar1_->setFixedSize(199, 17);
    bar->addWidget(progressBar1_);
    statusPanel2_ = new QLabel(bar);
    statusPanel2_->setObjectName("StatusPanel2");
    statusPanel2_->setMinimumWidth(50);
    bar->addWidget(statusPanel2_, 1);

    clientHeight_ = kClientHeight;
    const int barHeight = bar->sizeHint().height();
    splitter1_->setSizes({kPanelHeight, kClientHeight - kPanelHeight - kSplitterWidth - barHeight});
}

QAction* FormKorvane::AddItem(QMenu* menu, const char* name, const QString& caption,
                              void (FormKorvane::*slot)()) {
    auto* a = new QAction(caption, menu);
    a->setObjectName(name);
    if (slot)
        connect(a, &QAction::triggered, this, slot);
    menu->addAction(a);
    return a;
}

void FormKorvane::BuildMenus() {
    QMenuBar* bar = menuBar();
    bar->setObjectName("MainMenu1");
    auto topMenu = [bar](const char* name, const QString& caption) {
        auto* m = new QMenu(caption, bar);
        m->setObjectName(name);
        m->menuAction()->setObjectName(QString(name) + "Item");
        bar->addMenu(m);
        return m;
    };
    m1_ = topMenu("m1", "&Action");
    m11_ = AddItem(m1_, "m11", "Connect &Test", &FormKorvane::m11Click);
    m12_ = AddItem(m1_, "m12", "&Connect", &FormKorvane::m12Click);
    m13_ = AddItem(m1_, "m13", "&Disconnect", &FormKorvane::m13Click);
    m14_ = AddItem(m1_, "m14", "&Receive Only", &FormKorvane::m14Click);
    m15_ = AddItem(m1_, "m15", "&Send Only", &FormKorvane::m15Click);
    m16_ = AddItem(m1_, "m16", "R&eceive && Send", &FormKorvane::m16Click);
    m17_ = AddItem(m1_, "m17", "A&bort", &FormKorvane::m17Click);
    m17_->setVisible(false);
    m1_->addSeparator()->setObjectName("N1");
    m18_ = AddItem(m1_, "m18", "&Quit", &FormKorvane::m18Click);

    m2_ = topMenu("m2", "&View");
    m21_ = new QMenu("&Language", m2_);
    m21_->setObjectName("m21");
    m2_->addMenu(m21_);
    languageGroup_ = new QActionGroup(m21_);
    languageGroup_->setExclusive(true);
    connect(languageGroup_, &QActionGroup::triggered, this, &FormKorvane::LngClick);
    m22_ = AddItem(m2_, "m22", "Status Bar(&S)", &FormKorvane::m22Click);
    m22_->setCheckable(true);
    m22_->setChecked(true);
    m23_ = AddItem(m2_, "m23", "&Debug View", &FormKorvane::m23Click);
    m23_->setCheckable(true);
    m23_->setChecked(true);

    m3_ = topMenu("m3", "&Option");
    m31_ = AddItem(m3_, "m31", "&Basic Preferences", &FormKorvane::m31Click);
    m32_ = AddItem(m3_, "m32", "&Advance Preferences", &FormKorvane::m32Click);
    m33_ = AddItem(m3_, "m33", "&Expert Preferences", &FormKorvane::m33Click);
    m33_->setVisible(false);

    m4_ = topMenu("m4", "&Tools");
    AddItem(m4_, "m41", "&Clear Debug View", &FormKorvane::m41Click);
    AddItem(m4_, "m42", "Clear &Log View", &FormKorvane::m42Click);
    AddItem(m4_, "m43", "Clean &Folder and LOG File", &FormKorvane::m43Click);
    AddItem(m4_, "m44", "View &System Log", &FormKorvane::m44Click);
    AddItem(m4_, "m45", "View &Transfer Log", &FormKorvane::m45Click);
    AddItem(m4_, "m46", "View K&VTray Log", &FormKorvane::m46Click);
    AddItem(m4_, "m47", "View &Ostrel Log", &FormKorvane::m47Click);
    AddItem(m4_, "m48", "Transfer &History", &FormKorvane::m48Click);

    m5_ = topMenu("m5", "&Help");
    AddItem(m5_, "m51", "&EDI Home Page", &FormKorvane::m51Click);
    AddItem(m5_, "m52", "Check New &Version", &FormKorvane::m52Click);
    AddItem(m5_, "m53", "&About", &FormKorvane::m53Click);
}

void FormKorvane::SetMenuState(MenuState s) {
    menuState_ = s;
    const bool menus = s != MenuState::Busy;
    for (QMenu* m : {m1_, m2_, m3_, m4_, m5_})
        m->menuAction()->setEnabled(menus);
    button1_->setEnabled(menus);
    if (s == MenuState::Busy)
        return;
    const bool connected = s == MenuState::Connected;
    m11_->setEnabled(!connected);
    m12_->setEnabled(!connected);
    for (QAction* a : {m13_, m14_, m15_, m16_})
        a->setEnabled(connected);
}

void FormKorvane::FitBanner() {
    // The largest pixel size (the em) whose character cell fits the design's
    // font height.
    QFont font = label1_->font();
    int pixels = kBannerFontHeight;
    font.setPixelSize(pixels);
    while (pixels > 1 && QFontMetrics(font).height() > kBannerFontHeight)
        font.setPixelSize(--pixels);
    label1_->setFont(font);
}

void FormKorvane::CentreOnScreen() {
    if (QScreen* s = screen())
        move(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, frameGeometry().size(),
                                 s->availableGeometry())
                 .topLeft());
}

int FormKorvane::DesignedDebugViewHeight() const {
    const int bar = statusBar()->isHidden() ? 0 : statusBar()->sizeHint().height();
    return clientHeight_ - kPanelHeight - kSplitterWidth - bar;
}

void FormKorvane::FitWindowHeight() {
    const int menuHeight =
        menuBar()->isVisible() || !isVisible() ? menuBar()->sizeHint().height() : 0;
    setFixedSize(kClientWidth, menuHeight + clientHeight_);
}

bool FormKorvane::eventFilter(QObject* watched, QEvent* event) {
    if (watched == statusBar() && event->type() == QEvent::MouseButtonDblClick)
        StatusBar1DblClick();
    return QMainWindow::eventFilter(watched, event);
}

void FormKorvane::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    // Minimising sends the window to the notification area, where there is one.
    if (event->type() == QEvent::WindowStateChange && isMinimized() &&
        QSystemTrayIcon::isSystemTrayAvailable()) {
        QTimer::singleShot(0, this, [this] {
            hide();
            AddTrayIcon();
        });
    }
}

void FormKorvane::AddTrayIcon() {
    if (!tray_) {
        tray_ = new QSystemTrayIcon(windowIcon(), this);
        tray_->setObjectName("TrayIcon");
        tray_->setToolTip("Korvane");
        connect(tray_, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason why) {
                    if (why == QSystemTrayIcon::Trigger)
                        RestoreFromTray();
                });
    }
    tray_->show();
}

void FormKorvane::NotifyAfterCycle(int64_t receivedBefore, kv::CycleOutcomeKind outcome) {
    try {
        const kv::SettingsSnapshot settings = kv::SettingsSnapshot::Read(state_.IniPath);
        for (const CycleNotice& n :
             notices_.After(state_, settings, state_.Counts.ReceivedFiles - receivedBefore, outcome,
                            cycleFirstError_))
            ShowNotification(n);
    } catch (const std::exception&) {
        // The settings cannot be read just now: this cycle goes untold.
    }
}

void FormKorvane::ShowNotification(const CycleNotice& notice) {
    if (!QSystemTrayIcon::isSystemTrayAvailable() || isActiveWindow())
        return;
    // The icon shows while the notification does; a click on it brings the window.
    AddTrayIcon();
    tray_->showMessage(notice.title, notice.text,
                       notice.failure ? QSystemTrayIcon::Critical : QSystemTrayIcon::Information,
                       10000);
}

void FormKorvane::RemoveTrayIcon() {
    if (tray_)
        tray_->hide();
}

void FormKorvane::RestoreFromTray() {
    RemoveTrayIcon();
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

OperationScope::OperationScope(FormKorvane& w) : w_(w) {
    ++w_.operationDepth_;
}

OperationScope::~OperationScope() {
    // A close asked for while the command ran happens once it has unwound.
    if (--w_.operationDepth_ == 0 && w_.closePending_)
        QTimer::singleShot(0, &w_, [w = &w_] { w->close(); });
}

} // namespace kvgui
