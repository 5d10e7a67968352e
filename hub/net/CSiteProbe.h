#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QTimer>
#include <map>
#include <optional>
#include <vector>

// Whether the other panels named in the configuration (site = URL) answer: each is asked for
// its page now and then, without waiting on the event loop, so that the web page can tell an
// operator which switchers are there before sending them away to one.
class CSiteProbe : public QObject {
  public:
    static constexpr int kEveryMs = 30000;
    static constexpr int kTimeoutMs = 3000;

    CSiteProbe(std::vector<QString> urls, QObject* parent);

    // Nothing until the first answer (or its time-out) came.
    std::optional<bool> Answers(const QString& url) const;

  private:
    void ProbeAll();

    std::vector<QString> m_urls;
    QNetworkAccessManager m_network;
    QTimer m_timer;
    std::map<QString, bool> m_answers;
};
