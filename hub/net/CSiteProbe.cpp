#include "hub/net/CSiteProbe.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

CSiteProbe::CSiteProbe(std::vector<QString> urls, QObject* parent)
    : QObject(parent), m_urls(std::move(urls)) {
    m_network.setAutoDeleteReplies(true);
    m_timer.setInterval(kEveryMs);
    connect(&m_timer, &QTimer::timeout, this, &CSiteProbe::ProbeAll);
    if (!m_urls.empty()) {
        m_timer.start();
        ProbeAll();
    }
}

std::optional<bool> CSiteProbe::Answers(const QString& url) const {
    const auto found = m_answers.find(url);
    return found == m_answers.end() ? std::nullopt : std::optional<bool>(found->second);
}

void CSiteProbe::ProbeAll() {
    for (const QString& url : m_urls) {
        QNetworkRequest request{QUrl(url)};
        request.setTransferTimeout(kTimeoutMs);
        // Any HTTP answer (a sign-in page's 401 too) means the panel is there.
        QNetworkReply* reply = m_network.head(request);
        connect(reply, &QNetworkReply::finished, this, [this, url, reply] {
            m_answers[url] = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
        });
    }
}
