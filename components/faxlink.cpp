#include "components/faxlink.h"

FaxLink::FaxLink(QObject *parent)
    : QObject(parent)
{
}
