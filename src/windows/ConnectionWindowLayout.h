#pragma once

#include "windows/WizardWindow.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

/** The connection page: the login frame with its fields, and "Next >" below it. */
class ConnectionWindowLayout : public WizardWindow {
    Q_OBJECT

public:
    explicit ConnectionWindowLayout(QWidget* parent = nullptr);

    QGroupBox* loginBox;
    QLabel* serverLabel;
    QLineEdit* serverEdit;
    QLabel* portLabel;
    QLineEdit* portEdit;
    QLabel* userLabel;
    QLineEdit* userEdit;
    QLabel* passwordLabel;
    QLineEdit* passwordEdit;
    QLabel* databaseLabel;
    QLineEdit* databaseEdit;
    QCheckBox* localConnectionBox;
    QPushButton* testConnectionButton;
    QPushButton* helpButton;
    QPushButton* nextButton;
};
