#pragma once

#include <QString>
#include <functional>

/**
 * Every message box of the program goes through here. Styles are the classic
 * values: 0 OK only, 4 Yes and No, 48 exclamation icon, 256 the second button
 * as default. Texts are shown as plain text, character for character: they
 * carry table names and server messages, which are not the program's own.
 */
namespace MsgBox {

enum Style { OkOnly = 0, YesNo = 4, Exclamation = 48, SecondButtonDefault = 256 };
enum Answer { Ok = 1, Yes = 6, No = 7 };

struct Record {
    QString text;
    int style = 0;
    QString caption;
};

/** Shows a modal box and answers the button pressed. A null caption means the application title. */
int show(const QString& text, int style = OkOnly, const QString& caption = QString());

/** The caption of boxes that name none of their own (set by the application title rule). */
void setDefaultCaption(const QString& caption);
QString defaultCaption();

/**
 * Testing seam: while a handler is set no window is shown; the handler sees
 * what would have been shown and answers for the user.
 */
void setHandler(std::function<int(const Record&)> handler);
void resetHandler();

} // namespace MsgBox
