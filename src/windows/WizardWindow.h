#pragma once

#include "platform/ui/WindowPointer.h"

#include <QColor>
#include <QFont>
#include <QWidget>

class QPushButton;

/**
 * What both wizard pages share: a fixed-size window that can be minimised
 * but not maximised, centred at its first show, with a window pointer.
 */
class WizardWindow : public QWidget {
    Q_OBJECT

public:
    explicit WizardWindow(QSize clientSize, QWidget* parent = nullptr);

    WindowPointer pointer{this};

    /** Arial at a point size and weight; fontconfig maps the name to a metric-compatible face. */
    static QFont arial(qreal pointSize, bool bold);

    /** The push buttons' look: Arial 11.25 pt bold, button text colour, white face. */
    static void styleButton(QWidget* button);

    /**
     * A push button in that look at a fixed place; never the default button of
     * the window, but Enter presses it while it has the focus, as Space does.
     */
    static QPushButton* makeButton(QWidget* parent, const char* name, const QString& caption, const QRect& geometry);

protected:
    void showEvent(QShowEvent* event) override;

private:
    bool m_centred = false;
};
