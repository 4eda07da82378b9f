#include "app/MagicLabel.h"

#include "app/QsPage.h"

MagicLabel::MagicLabel() : QLabel() {}

MagicLabel::MagicLabel(const QString& text) : QLabel(text) {}

void MagicLabel::registerField(const char* name, QsPage* page) {
    page->pRegisterField(QString::fromUtf8(name), this, "ltext",
                         SIGNAL(ltextChanged(const QString&)));
}

QString MagicLabel::ltext() const {
    return text();
}

void MagicLabel::setLtext(const QString& s) {
    setText(s);
    emit ltextChanged(s);
}
