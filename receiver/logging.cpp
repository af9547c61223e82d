#include "receiver/logging.h"

Q_LOGGING_CATEGORY(lcHistory, "kavrel.r.history", QtInfoMsg)
Q_LOGGING_CATEGORY(lcListener, "kavrel.r.listener", QtInfoMsg)
Q_LOGGING_CATEGORY(lcBroker, "kavrel.r.mqtt", QtInfoMsg)
Q_LOGGING_CATEGORY(lcNotices, "kavrel.r.notices", QtInfoMsg)
