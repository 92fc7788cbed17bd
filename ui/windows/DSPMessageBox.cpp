// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/windows/DSPMessageBox.h"

#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

QMessageBox* NewDSPExceptionBox(QWidget* owner, const TDSPException& e) {
  const TDSPMessage m = ComposeDSPMessage(e);
  auto* box = new QMessageBox(m.Informational ? QMessageBox::Information : QMessageBox::Critical,
                              QString::fromStdString(m.Caption), QString::fromStdString(m.Text),
                              QMessageBox::Ok, owner);
  box->setTextFormat(Qt::PlainText);
  return box;
}

void ShowDSPException(QWidget* owner, const TDSPException& e) {
  const QPointer<QMessageBox> box = NewDSPExceptionBox(owner, e);
  box->exec();
  delete box.data();
}

void ShowErrorBox(QWidget* owner, const QString& text) {
  const QPointer<QMessageBox> box =
      new QMessageBox(QMessageBox::Critical, QStringLiteral("Ошибка"), text, QMessageBox::Ok, owner);
  box->setTextFormat(Qt::PlainText);
  box->exec();
  delete box.data();
}

QMessageBox* NewQuestionBox(QWidget* owner, const QString& text) {
  auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Подтверждение"), text,
                              QMessageBox::Yes | QMessageBox::No, owner);
  box->setTextFormat(Qt::PlainText);
  box->button(QMessageBox::Yes)->setText(QStringLiteral("Да"));
  box->button(QMessageBox::No)->setText(QStringLiteral("Нет"));
  box->setDefaultButton(QMessageBox::No);
  box->setEscapeButton(QMessageBox::No);
  return box;
}
