#pragma once

// What the picture tools share: letting the window system catch up, and
// writing a part of the screen to OUTDIR/NAME.png with a line naming it.

#include <QEventLoop>
#include <QGuiApplication>
#include <QPixmap>
#include <QRect>
#include <QScreen>
#include <QString>
#include <QTimer>

#include <cstdio>

namespace shots {

inline QString outDir;

inline void settle(int ms = 150)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

inline void save(const QString &name, const QRect &area)
{
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    const QString path = outDir + QLatin1Char('/') + name + QStringLiteral(".png");
    shot.save(path);
    std::printf("%s %dx%d\n", qPrintable(path), area.width(), area.height());
}

} // namespace shots
