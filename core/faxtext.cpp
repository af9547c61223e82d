#include "core/faxtext.h"

#include <QJsonDocument>
#include <QJsonObject>

QString FaxText::cut(const QString &text, int bytes)
{
    const QByteArray utf8 = text.toUtf8();
    if (utf8.size() <= bytes)
        return text;
    // Back to the start of the character the bound falls in.
    int end = bytes;
    while (end > 0 && (uchar(utf8.at(end)) & 0xc0) == 0x80)
        --end;
    return QString::fromUtf8(utf8.left(end));
}

QByteArray FaxText::toJson() const
{
    QJsonObject json;
    json.insert(QStringLiteral("page"), page);
    json.insert(QStringLiteral("pages"), pages);
    if (!error.isEmpty())
        json.insert(QStringLiteral("error"), error.left(MaxErrorLength));
    else
        json.insert(QStringLiteral("text"), cut(text, MaxTextBytes));
    return QJsonDocument(json).toJson(QJsonDocument::Compact);
}

bool FaxText::fromJson(const QByteArray &payload, FaxText *text, QString *error)
{
    if (payload.size() > MaxMessageBytes) {
        *error = QStringLiteral("a text of %1 bytes (at most %2)").arg(payload.size()).arg(MaxMessageBytes);
        return false;
    }
    const QJsonObject json = QJsonDocument::fromJson(payload).object();
    const QJsonValue page = json.value(QStringLiteral("page"));
    const QJsonValue pages = json.value(QStringLiteral("pages"));
    const QJsonValue said = json.value(QStringLiteral("text"));
    const QJsonValue failed = json.value(QStringLiteral("error"));
    if (!page.isDouble() || !pages.isDouble() || page.toInt(-1) < 0 || page.toInt() > MaxPages
        || pages.toInt(-1) < page.toInt() || pages.toInt() > MaxPages || said.isString() == failed.isString()
        || (page.toInt() == 0 && !failed.isString())) {
        *error = QStringLiteral("not a fax's text");
        return false;
    }
    text->page = page.toInt();
    text->pages = pages.toInt();
    text->text = cut(said.toString(), MaxTextBytes);
    text->error = failed.toString().left(MaxErrorLength);
    return true;
}
