#include "platform/ui/MsgBox.h"

#include <QApplication>
#include <QMessageBox>

namespace MsgBox {
namespace {
std::function<int(const Record&)>& handler()
{
    static std::function<int(const Record&)> h;
    return h;
}
QString& caption()
{
    static QString c;
    return c;
}
} // namespace

void setDefaultCaption(const QString& text)
{
    caption() = text;
}

QString defaultCaption()
{
    return caption();
}

void setHandler(std::function<int(const Record&)> h)
{
    handler() = std::move(h);
}

void resetHandler()
{
    handler() = nullptr;
}

int show(const QString& text, int style, const QString& boxCaption)
{
    Record record{text, style, boxCaption.isNull() ? caption() : boxCaption};
    if (handler())
        return handler()(record);

    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(record.caption);
    // The texts use bare CR as a break; Qt breaks lines on LF only.
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
    box.setTextFormat(Qt::PlainText);
    box.setText(shown);
    box.setWindowModality(Qt::ApplicationModal);
    if ((style & 0x30) == Exclamation)
        box.setIcon(QMessageBox::Warning);
    if ((style & 0x7) == YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton((style & SecondButtonDefault) ? QMessageBox::No : QMessageBox::Yes);
        return box.exec() == QMessageBox::Yes ? Yes : No;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return Ok;
}

} // namespace MsgBox
