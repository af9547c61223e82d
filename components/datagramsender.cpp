#include "components/datagramsender.h"

SenderError::SenderError(int number, const QString &description)
    : m_number(number)
    , m_description(description)
    , m_what(QStringLiteral("[%1] %2").arg(number).arg(description).toUtf8())
{
}

DatagramSender::DatagramSender(QObject *parent)
    : QObject(parent)
{
}
