// Pictures of the settings and cleaning dialogs for the documentation, each
// in English (left) and Chinese (right); the Basic Preferences dialog folded
// and with its proxy part shown. Run by scripts/screenshots.sh under Xvfb;
// writes PNG files into the folder given as its argument.
#include "DialogTestSupport.h"
#include "FormAdvSet.h"
#include "FormBasSet.h"
#include "FormCleanFolder.h"
#include "FormExpSet.h"
#include "TitleBar.h"
#include "app/Settings.h"
#include "config/IniFile.h"
#include "config/WnDes.h"

#include <QPainter>
#include <QPixmap>
#include <cstdio>
#include <functional>

using namespace kvtest;

namespace {

using MakeDialog =
    std::function<std::unique_ptr<kvgui::ModelDialog>(DialogHome&, const std::string& pack)>;

QPixmap Shot(DialogHome& h, const MakeDialog& make, const char* pack, bool proxyShown) {
    std::unique_ptr<kvgui::ModelDialog> d = make(h, h.Pack(pack));
    Open(*d, h.Pack(pack));
    if (proxyShown)
        Click(*d, "Btn_Proxy");
    QApplication::processEvents();
    const QPixmap pixmap = WithTitleBar(d->grab(), d->windowTitle());
    d->reject();
    return pixmap;
}

void Save(DialogHome& h, const std::string& folder, const char* name, const MakeDialog& make,
          bool proxyShown = false) {
    const QPixmap en = Shot(h, make, "kven.ini", proxyShown);
    const QPixmap zh = Shot(h, make, "kvchs.ini", proxyShown);
    constexpr int kGap = 12;
    QPixmap both(en.width() + kGap + zh.width(), std::max(en.height(), zh.height()));
    both.fill(Qt::white);
    QPainter painter(&both);
    painter.drawPixmap(0, 0, en);
    painter.drawPixmap(en.width() + kGap, 0, zh);
    painter.end();
    SavePicture(both, folder + "/" + name);
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const std::string folder = argc > 1 ? argv[1] : ".";
    DialogHome h;
    const std::string dir = "/home/edi/korvane";
    const std::string hex = kv::EncryptToHex("secret", kv::kPasswordKey);
    WriteFile(h.ini,
              "[Options]\r\nNetType=Custom\r\nHost=edi.example.net\r\nPort=21\r\nUserID=acme01\r\n"
              "Password=" +
                  hex + "\r\nLocalInPath=" + dir + "/INBOX\r\nLocalOutPath=" + dir +
                  "/OUTBOX\r\nLocalBackupPath=" + dir + "/BACKUP\r\nLocalErrPath=" + dir +
                  "/ERROR\r\nFileSender=ACME01\r\nRemoteInPath=in\r\nRemoteOutPath=out\r\n"
                  "RemoteExPath=cuscar/ex\r\nLocalExPath=" +
                  dir +
                  "/SPECIAL\r\nCNC102=1\r\nTimeInterval=10\r\nAllowStartAuto=1\r\n"
                  "AllowReceive=1\r\nAllowSend=1\r\nPassive=1\r\nTransferType=BIN\r\n"
                  "RunAfter=1\r\nProgramRunAfter=/usr/local/bin/import-edi\r\n"
                  "ParameterRunAfter=--quiet\r\n"
                  "[KVTray]\r\nLogTimeOut=30\r\nKVTimeOut=120\r\n"
                  "[Proxy]\r\nProxyType=3\r\nAuthentication=1\r\nHost=socks.example.net\r\n"
                  "Port=1080\r\nUserID=proxyuser\r\nPassword=" +
                  hex + "\r\n[System]\r\nLogStep=Month\r\nMessage=1\r\nAutoUpgrade=1\r\n");

    Save(h, folder, "dialog-basic.png", [](DialogHome& h, const std::string& pack) {
        return std::make_unique<kvgui::FormBasSet>(h.ini, pack, h.host, nullptr);
    });
    Save(
        h, folder, "dialog-basic-proxy.png",
        [](DialogHome& h, const std::string& pack) {
            return std::make_unique<kvgui::FormBasSet>(h.ini, pack, h.host, nullptr);
        },
        true);
    Save(h, folder, "dialog-advance.png", [](DialogHome& h, const std::string& pack) {
        return std::make_unique<kvgui::FormAdvSet>(h.ini, pack, h.host, nullptr);
    });
    Save(h, folder, "dialog-expert.png", [](DialogHome& h, const std::string& pack) {
        return std::make_unique<kvgui::FormExpSet>(h.ini, pack, h.host, nullptr);
    });
    Save(h, folder, "dialog-clean.png", [](DialogHome& h, const std::string& pack) {
        return std::make_unique<kvgui::FormCleanFolder>(h.ini, pack, h.dir.path(), "", h.host,
                                                        nullptr);
    });
    // The same mailbox over SFTP, its host key pinned.
    kv::IniFile(h.ini).WriteStrings(
        {{"Options", "Protocol", "SFTP"},
         {"Options", "Port", "22"},
         {"Options", "SFTPHostKey", "SHA256:Kp0QmVJ3w8mM7cX2yYwJ3lq3vFqGJ8Zk1f3d9w5oB2E"}});
    Save(h, folder, "dialog-basic-sftp.png", [](DialogHome& h, const std::string& pack) {
        return std::make_unique<kvgui::FormBasSet>(h.ini, pack, h.host, nullptr);
    });
    return 0;
}
