#pragma once
// The screenshot programs' pictures: no window manager runs under Xvfb, so
// a window's title is drawn on a bar of its own above its picture.
#include <QPainter>
#include <QPixmap>
#include <QString>
#include <cstdio>
#include <string>

namespace kvtest {

inline QPixmap WithTitleBar(const QPixmap& client, const QString& title) {
    constexpr int kTitleHeight = 24;
    QPixmap pixmap(client.width(), client.height() + kTitleHeight);
    pixmap.fill(QColor(0x3c, 0x5a, 0x82));
    QPainter painter(&pixmap);
    painter.setPen(Qt::white);
    painter.drawText(QRect(8, 0, client.width() - 16, kTitleHeight), Qt::AlignVCenter, title);
    painter.drawPixmap(0, kTitleHeight, client);
    painter.end();
    return pixmap;
}

// Saves a picture and says where (or that it could not).
inline void SavePicture(const QPixmap& pixmap, const std::string& path) {
    if (!pixmap.save(QString::fromStdString(path)))
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
    else
        std::printf("%s\n", path.c_str());
}

} // namespace kvtest
