#include "windows/Form2Layout.h"

#include "platform/ui/Background.h"
#include "windows/Twips.h"

#include <QApplication>
#include <QListWidget>
#include <QPushButton>
#include <QShowEvent>

Form2Layout::Form2Layout(QWidget* parent) : WizardWindow(QSize(Twips(8040), Twips(4695)), parent)
{
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("Form2"));
    setFont(arial(9, true));
    SetBackground(this, Qt::white);

    PushButton8 = makeButton(this, "PushButton8", QStringLiteral("Select All"), TwipsRect(120, 120, 3840, 405));
    PushButton9 = makeButton(this, "PushButton9", QStringLiteral("Deselect All"), TwipsRect(4080, 120, 3840, 405));

    ListView1 = new QListWidget(this);
    ListView1->setObjectName(QStringLiteral("ListView1"));
    ListView1->setGeometry(TwipsRect(120, 630, 7800, 2955));
    ListView1->setViewMode(QListView::ListMode);
    ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView1->setFont(arial(9, true));
    ListView1->setUniformItemSizes(true);
    ListView1->setAccessibleName(QStringLiteral("Tables"));
    ListView1->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    QPalette palette = ListView1->palette();
    palette.setColor(QPalette::Text, QApplication::palette().color(QPalette::WindowText));
    palette.setColor(QPalette::Base, QApplication::palette().color(QPalette::Base));
    ListView1->setPalette(palette);

    PushButton2 = makeButton(this, "PushButton2", QStringLiteral("< Back"), TwipsRect(120, 3680, 3840, 405));
    PushButton5 = makeButton(this, "PushButton5", QStringLiteral("Finish"), TwipsRect(4080, 3680, 3840, 405));

    ProgressBar1 = new ProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setGeometry(TwipsRect(120, 4170, 7785, 405));
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setText(QStringLiteral("Progress Bar"));
    ProgressBar1->setTextVisible(true);
    ProgressBar1->setAlignment(Qt::AlignCenter);
    ProgressBar1->setFocusPolicy(Qt::TabFocus);
    ProgressBar1->setAccessibleName(QStringLiteral("Progress"));
    QPalette barPalette = ProgressBar1->palette();
    barPalette.setColor(QPalette::WindowText, QApplication::palette().color(QPalette::ButtonText));
    barPalette.setColor(QPalette::Text, QApplication::palette().color(QPalette::ButtonText));
    barPalette.setColor(QPalette::Base, Qt::white);
    barPalette.setColor(QPalette::Window, Qt::white);
    ProgressBar1->setPalette(barPalette);

    // "< Back", "Finish", "Select All", "Deselect All", the list, the progress bar.
    QWidget* order[] = {PushButton2, PushButton5, PushButton8, PushButton9, ListView1, ProgressBar1};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);
}

void Form2Layout::showEvent(QShowEvent* event)
{
    // The keyboard starts at the list each time the window comes up, also
    // after "< Back" was pressed with it, so that Enter does not go back again.
    if (!event->spontaneous())
        ListView1->setFocus();
    WizardWindow::showEvent(event);
}
