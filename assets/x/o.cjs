/*
 * Quorvane skin: a calm, flat look in teal and slate.
 *
 * The windows place every control at a fixed pixel position and size, so this
 * sheet changes colours, borders and corner radii only; margins and paddings
 * stay small enough that no caption or text is cut. Backgrounds of the
 * window, the frame, the labels and the check box are set by the program
 * itself and are deliberately left alone here.
 */

QPushButton {
    color: #1f2d3a;
    background-color: #ffffff;
    border: 1px solid #a9b8c2;
    border-radius: 4px;
    padding: 1px 6px;
}

QPushButton:hover {
    background-color: #e3f3f1;
    border-color: #1f9e96;
}

QPushButton:focus {
    border: 1px solid #1f9e96;
    outline: none;
}

QPushButton:pressed {
    color: #ffffff;
    background-color: #1f9e96;
    border-color: #187d77;
}

QPushButton:default {
    border-color: #1d5fae;
}

QPushButton:disabled {
    color: #9aa7b0;
    background-color: #eef1f3;
    border-color: #cfd8de;
}

QLineEdit {
    color: #1f2d3a;
    background-color: #ffffff;
    border: 1px solid #a9b8c2;
    border-radius: 3px;
    padding: 0px 3px;
    selection-color: #ffffff;
    selection-background-color: #1f9e96;
}

QLineEdit:hover {
    border-color: #6f8796;
}

QLineEdit:focus {
    border: 1px solid #1f9e96;
}

QLineEdit:disabled {
    color: #9aa7b0;
    background-color: #f1f4f6;
}

/* A card: the title sits inside the top-left corner, so the frame's line
   never runs through it whatever background the frame is given. */
QGroupBox {
    border: 1px solid #c3cfd6;
    border-radius: 4px;
}

QGroupBox::title {
    subcontrol-origin: margin;
    subcontrol-position: top left;
    left: 6px;
    top: 2px;
    padding: 0px 2px;
    color: #187d77;
}

QLabel {
    color: #1f2d3a;
}

QCheckBox {
    color: #1f2d3a;
}

QCheckBox:focus {
    color: #187d77;
}

QListWidget {
    color: #1f2d3a;
    background-color: #ffffff;
    border: 1px solid #a9b8c2;
    border-radius: 3px;
    outline: none;
    selection-color: #1f2d3a;
    selection-background-color: #d3efec;
}

QListWidget:focus {
    border-color: #1f9e96;
}

QListWidget::item:hover {
    background-color: #eef8f7;
}

QListWidget::item:selected {
    color: #1f2d3a;
    background-color: #d3efec;
}

QProgressBar {
    color: #1f2d3a;
    background-color: #eef1f3;
    border: 1px solid #a9b8c2;
    border-radius: 4px;
    text-align: center;
}

QProgressBar::chunk {
    background-color: #5cc2b9;
    border-radius: 3px;
}

QToolTip {
    color: #1f2d3a;
    background-color: #ffffff;
    border: 1px solid #a9b8c2;
}
