#include "components/datagramsender.h"

DatagramSender::DatagramSender(QObject *parent)
    : QObject(parent)
{
}
