#pragma once

#include "windows/WizardWindow.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

/** The connection page: the login frame with its fields, and "Next >" below it. */
class Form1Layout : public WizardWindow {
    Q_OBJECT

public:
    explicit Form1Layout(QWidget* parent = nullptr);

    QGroupBox* Frame2;
    QLabel* Label7;
    QLineEdit* Text6;
    QLabel* Label10;
    QLineEdit* Text10;
    QLabel* Label5;
    QLineEdit* Text7;
    QLabel* Label9;
    QLineEdit* Text8;
    QLabel* Label8;
    QLineEdit* Text9;
    QCheckBox* Check6;
    QPushButton* PushButton1;
    QPushButton* PushButton4;
    QPushButton* PushButton2;
};
