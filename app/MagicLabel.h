#pragma once
#include <QLabel>

class QsPage;

// A label whose text is a property, so it can be a wizard field written with setField().
class MagicLabel : public QLabel {
    Q_OBJECT
    Q_PROPERTY(QString ltext READ ltext WRITE setLtext)
public:
    MagicLabel();
    explicit MagicLabel(const QString& text);

    void registerField(const char* name, QsPage* page);
    QString ltext() const;

signals:
    void ltextChanged(const QString& s);

public slots:
    void setLtext(const QString& s);
};
