#pragma once

#include <QByteArray>
#include <QHttpServerRequest>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <string>

// What the web door's parts write alike: JSON bodies, errors and the session cookie.
namespace WebReplies {

inline constexpr char kCookie[] = "matrixd_session";
// A connection to be closed once its answers are out: requests after the last are not read.
inline constexpr char kClosing[] = "matrixdClosing";

inline QByteArray Json(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

inline QByteArray Json(const QJsonArray& array) {
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

inline QByteArray Error(const QString& text) {
    return Json(QJsonObject{{"error", text}});
}

inline QByteArray CookieOf(const QHttpServerRequest& request) {
    for (const QByteArray& part : request.value("Cookie").split(';')) {
        const QByteArray item = part.trimmed();
        if (item.startsWith(QByteArray(kCookie) + "=")) {
            return item.mid(static_cast<qsizetype>(sizeof kCookie));
        }
    }
    return {};
}

inline QByteArray SetCookie(const std::string& token) {
    return QByteArray(kCookie) + "=" + QByteArray::fromStdString(token) +
           "; Path=/; HttpOnly; SameSite=Strict";
}

}  // namespace WebReplies
