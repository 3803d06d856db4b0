#include "shell/WindowFlow.h"

#include <QPointer>
#include <QWidget>

namespace WindowFlow {
namespace {
QPointer<QWidget> g_connectionWindow;
} // namespace

void SetConnectionWindow(QWidget* window)
{
    g_connectionWindow = window;
}

QWidget* ConnectionWindow()
{
    return g_connectionWindow.data();
}

QIcon ApplicationIcon()
{
    QIcon icon;
    for (int size : {32, 48, 128, 256})
        icon.addFile(QStringLiteral(":/icons/quorvane-%1.png").arg(size), QSize(size, size));
    return icon;
}

} // namespace WindowFlow
