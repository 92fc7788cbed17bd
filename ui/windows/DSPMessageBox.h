// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The message box of an error record: "Ошибка" with the error icon and the composed text, or
// "Сообщение" with the information icon and the notice's text; one OK button.
//
// Threads: user-interface thread only.

#include "devices/VirtDevs.h"

#include <QString>

class QMessageBox;
class QWidget;

// A new box owned by `owner`, not yet shown.
QMessageBox* NewDSPExceptionBox(QWidget* owner, const TDSPException& e);

// Shows the box modally over `owner` and returns when it is dismissed (or its owner went away).
void ShowDSPException(QWidget* owner, const TDSPException& e);

// The settings-file and dialog errors: a bare message under "Ошибка" with the error icon, modal.
void ShowErrorBox(QWidget* owner, const QString& text);

// A question before something is lost, under "Подтверждение" with the warning icon and the buttons
// "Да" and "Нет", "Нет" the default (Enter and Escape both give it). Owned by `owner`, not yet shown.
QMessageBox* NewQuestionBox(QWidget* owner, const QString& text);
