#include "core/reception.h"

#include "core/topics.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <algorithm>

namespace {

const QString LineTimeFormat = QStringLiteral("yyyy/MM/dd HH:mm:ss");

// One field as it may stand in the line: text (bytes that are not UTF-8 are
// replaced), with commas, line breaks and other control characters made
// blanks, and blanks around it trimmed.
QString cleanField(const QByteArray &raw)
{
    QString text = QString::fromUtf8(raw);
    for (QChar &c : text) {
        // Format characters (zero-width space, direction marks) count as
        // blanks too: a message of them alone reads as nothing.
        if (c == QLatin1Char(',') || c.category() == QChar::Other_Control || c.category() == QChar::Other_Format
            || c == QChar(0x2028) || c == QChar(0x2029))
            c = QLatin1Char(' ');
    }
    return text.trimmed();
}

int twoDigits(QStringView text, qsizetype at)
{
    return text.at(at).digitValue() * 10 + text.at(at + 1).digitValue();
}

// A time written as "2026:12:07 06:38:44" (HylaFAX's, separator ':') or
// "2026/12/07 06:38:44" (the line's, '/'), local time; invalid when it is
// not one, or no time a clock shows (24:00:00, 23:60:00). Read by hand: a
// QDateTime format parse costs tens of microseconds a reception.
QDateTime readTime(QStringView text, QChar separator)
{
    static const QString Form = QStringLiteral("dddd-dd-dd dd:dd:dd");
    bool readable = text.size() == Form.size();
    for (qsizetype i = 0; readable && i < text.size(); ++i) {
        const QChar expected = Form.at(i) == u'-' ? separator : Form.at(i);
        readable = expected == u'd' ? (text.at(i) >= u'0' && text.at(i) <= u'9') : text.at(i) == expected;
    }
    if (!readable)
        return QDateTime();
    const QDate date(twoDigits(text, 0) * 100 + twoDigits(text, 2), twoDigits(text, 5), twoDigits(text, 8));
    const QTime time(twoDigits(text, 11), twoDigits(text, 14), twoDigits(text, 17));
    return date.isValid() && time.isValid() ? QDateTime(date, time) : QDateTime();
}

// HylaFAX's time of reception. Not given or not readable: the post comes
// as the reception ends, so the time of the post stands in.
QDateTime receptionTime(const QString &text)
{
    const QDateTime time = readTime(text, u':');
    return time.isValid() ? time : QDateTime::currentDateTime();
}

} // namespace

const QString Reception::BlankErrorText = QStringLiteral("受信エラー");

Reception Reception::fromPost(const QList<QByteArray> &fields)
{
    QStringList cleaned;
    for (const QByteArray &field : fields)
        cleaned.append(cleanField(field));
    cleaned.resize(10);
    Reception reception;
    reception.received = receptionTime(cleaned.at(0));
    reception.tsi = cleaned.at(1);
    reception.number = cleaned.at(2);
    reception.name = cleaned.at(3);
    reception.pages = cleaned.at(4);
    reception.file = cleaned.at(6);
    reception.device = cleaned.at(8);
    reception.called = cleaned.at(9);
    // A name for topics and files: anything but letters and digits would
    // be trusted nowhere.
    const QString commId = cleaned.at(7);
    if (Topics::isCommId(commId))
        reception.commId = commId;
    else
        reception.badCommId = commId;
    // OK only when HylaFAX gave no message at all: a message of blanks or
    // control characters, or one that reads OK, is still a failure.
    reception.status = QStringLiteral("OK");
    if (fields.size() >= 6 && !fields.at(5).isEmpty()) {
        reception.status = cleaned.at(5);
        if (reception.status.isEmpty())
            reception.status = BlankErrorText;
        else if (reception.status.normalized(QString::NormalizationForm_KC).trimmed() == QLatin1String("OK"))
            reception.status = BlankErrorText + QStringLiteral("：") + reception.status;
    }
    return reception;
}

bool Reception::fromLine(QStringView text, Reception *reception)
{
    const QList<QStringView> fields = text.split(QLatin1Char(','));
    if (fields.size() != 6)
        return false;
    QDateTime received = readTime(fields.at(0), u'/');
    if (!received.isValid()) // what a format parse takes besides, if anything
        received = QDateTime::fromString(fields.at(0).toString(), LineTimeFormat);
    bool pagesOk = true;
    const int pages = fields.at(4).isEmpty() ? -1 : fields.at(4).toInt(&pagesOk);
    if (!received.isValid() || !pagesOk || pages < -1)
        return false;
    reception->received = received;
    reception->tsi = fields.at(1).trimmed().toString();
    reception->number = fields.at(2).trimmed().toString();
    reception->name = fields.at(3).trimmed().toString();
    reception->pages = fields.at(4).toString();
    // As it stands: only the status OK itself is a success; anything else,
    // blanks included, is a reception that failed.
    reception->status = fields.at(5).toString();
    return true;
}

QString Reception::lineFromJson(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).object().value(QStringLiteral("line")).toString();
}

QString Reception::commIdFromJson(const QByteArray &json, bool *document)
{
    const QJsonObject object = QJsonDocument::fromJson(json).object();
    if (document)
        *document = object.contains(QStringLiteral("document"));
    // The document's name where one follows (its topics say it), else the
    // fax's.
    QString commId = object.value(QStringLiteral("commid")).toString();
    if (commId.isEmpty())
        commId = object.value(QStringLiteral("fax")).toString();
    return Topics::isCommId(commId) ? commId : QString();
}

QByteArray Reception::line() const
{
    const QStringList fields{received.toString(LineTimeFormat), tsi, number, name, pages, status};
    return fields.join(QLatin1Char(',')).toUtf8();
}

QByteArray Reception::json(const QString &server, const QString &documentTopic, const QString &pictureTopic,
                           bool namesFax) const
{
    const int offset = received.offsetFromUtc();
    const QString zone = QString::asprintf("%c%02d:%02d", offset < 0 ? '-' : '+', qAbs(offset) / 3600,
                                           qAbs(offset) % 3600 / 60);
    const int count = pageCount();
    QJsonObject object{
        {QStringLiteral("received"), received.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + zone},
        {QStringLiteral("tsi"), tsi},
        {QStringLiteral("number"), number},
        {QStringLiteral("name"), name},
        {QStringLiteral("pages"), count >= 0 ? QJsonValue(count) : QJsonValue()},
        {QStringLiteral("status"), ok() ? QStringLiteral("OK") : QStringLiteral("error")},
        {QStringLiteral("error"), ok() ? QString() : status},
        {QStringLiteral("line"), QString::fromUtf8(line())},
    };
    if (!server.isEmpty())
        object.insert(QStringLiteral("server"), server);
    // How the fax is known on its server, for its shared state: "fax"
    // (desktops of before read "commid" as a document that follows).
    if (namesFax && Topics::isCommId(commId))
        object.insert(QStringLiteral("fax"), commId);
    if (!documentTopic.isEmpty()) {
        object.insert(QStringLiteral("commid"), commId);
        object.insert(QStringLiteral("document"), documentTopic);
        object.insert(QStringLiteral("picture"), pictureTopic);
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

int Reception::pageCount() const
{
    bool numeric = false;
    const int count = pages.toInt(&numeric);
    return numeric && count >= 0 ? count : -1;
}

QString Reception::caller() const
{
    for (const QString *candidate : {&name, &tsi, &number}) {
        if (!candidate->isEmpty())
            return *candidate;
    }
    return QString();
}
