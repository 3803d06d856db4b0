#pragma once

#include "windows/ProgressBar.h"
#include "windows/WizardWindow.h"

class QListWidget;
class QPushButton;

/** The table page: selection buttons, the ticked table list, navigation and progress. */
class Form2Layout : public WizardWindow {
    Q_OBJECT

public:
    explicit Form2Layout(QWidget* parent = nullptr);

    QPushButton* PushButton8;
    QPushButton* PushButton9;
    QListWidget* ListView1;
    QPushButton* PushButton2;
    QPushButton* PushButton5;
    ProgressBar* ProgressBar1;

protected:
    void showEvent(QShowEvent* event) override;
};
