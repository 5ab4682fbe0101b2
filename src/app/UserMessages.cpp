#include "app/UserMessages.h"

#include <QGuiApplication>
#include <QMessageBox>

std::function<void(QWidget*, const QString&)> TUserMessages::ShowMessage = [](QWidget* parent,
                                                                              const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QGuiApplication::applicationDisplayName(), text,
                    QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);  // replies of the box end up in these texts
    box.exec();
};

std::function<void(QWidget*, const QString&)> TUserMessages::ShowError = [](QWidget* parent,
                                                                            const QString& text) {
    QMessageBox box(QMessageBox::Critical, QGuiApplication::applicationDisplayName(), text,
                    QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
};
