#pragma once

#include "windows/ProgressBar.h"
#include "windows/WizardWindow.h"

class QListWidget;
class QPushButton;

/** The table page: selection buttons, the ticked table list, navigation and progress. */
class TableWindowLayout : public WizardWindow {
    Q_OBJECT

public:
    explicit TableWindowLayout(QWidget* parent = nullptr);

    QPushButton* selectAllButton;
    QPushButton* deselectAllButton;
    QListWidget* tableList;
    QPushButton* backButton;
    QPushButton* finishButton;
    ProgressBar* progressBar;

protected:
    void showEvent(QShowEvent* event) override;
};
