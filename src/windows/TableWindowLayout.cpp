#include "windows/TableWindowLayout.h"

#include "platform/ui/Background.h"
#include "windows/Twips.h"

#include <QApplication>
#include <QListWidget>
#include <QPushButton>
#include <QShowEvent>

TableWindowLayout::TableWindowLayout(QWidget* parent) : WizardWindow(QSize(Twips(8040), Twips(4695)), parent)
{
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("Form2"));
    setFont(arial(9, true));
    SetBackground(this, Qt::white);

    selectAllButton = makeButton(this, "PushButton8", QStringLiteral("Select All"), TwipsRect(120, 120, 3840, 405));
    deselectAllButton
        = makeButton(this, "PushButton9", QStringLiteral("Deselect All"), TwipsRect(4080, 120, 3840, 405));

    tableList = new QListWidget(this);
    tableList->setObjectName(QStringLiteral("ListView1"));
    tableList->setGeometry(TwipsRect(120, 630, 7800, 2955));
    tableList->setViewMode(QListView::ListMode);
    tableList->setSelectionMode(QAbstractItemView::SingleSelection);
    tableList->setFont(arial(9, true));
    tableList->setUniformItemSizes(true);
    tableList->setAccessibleName(QStringLiteral("Tables"));
    tableList->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    QPalette palette = tableList->palette();
    palette.setColor(QPalette::Text, QApplication::palette().color(QPalette::WindowText));
    palette.setColor(QPalette::Base, QApplication::palette().color(QPalette::Base));
    tableList->setPalette(palette);

    backButton = makeButton(this, "PushButton2", QStringLiteral("< Back"), TwipsRect(120, 3680, 3840, 405));
    finishButton = makeButton(this, "PushButton5", QStringLiteral("Finish"), TwipsRect(4080, 3680, 3840, 405));

    progressBar = new ProgressBar(this);
    progressBar->setObjectName(QStringLiteral("ProgressBar1"));
    progressBar->setGeometry(TwipsRect(120, 4170, 7785, 405));
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setText(QStringLiteral("Progress Bar"));
    progressBar->setTextVisible(true);
    progressBar->setAlignment(Qt::AlignCenter);
    progressBar->setFocusPolicy(Qt::TabFocus);
    progressBar->setAccessibleName(QStringLiteral("Progress"));
    QPalette barPalette = progressBar->palette();
    barPalette.setColor(QPalette::WindowText, QApplication::palette().color(QPalette::ButtonText));
    barPalette.setColor(QPalette::Text, QApplication::palette().color(QPalette::ButtonText));
    barPalette.setColor(QPalette::Base, Qt::white);
    barPalette.setColor(QPalette::Window, Qt::white);
    progressBar->setPalette(barPalette);

    // "< Back", "Finish", "Select All", "Deselect All", the list, the progress bar.
    QWidget* order[] = {backButton, finishButton, selectAllButton, deselectAllButton, tableList, progressBar};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);
}

void TableWindowLayout::showEvent(QShowEvent* event)
{
    // The keyboard starts at the list each time the window comes up, also
    // after "< Back" was pressed with it, so that Enter does not go back again.
    if (!event->spontaneous())
        tableList->setFocus();
    WizardWindow::showEvent(event);
}
