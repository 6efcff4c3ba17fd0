#pragma once

#include <QNetworkReply>
#include <QString>

// Our own words for a failed transfer, for the user's boxes. Qt's own error strings may quote
// the whole URL, query and password included, so they are never shown or logged.
QString networkErrorText(QNetworkReply::NetworkError error);
