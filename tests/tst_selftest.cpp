#include <QtTest>

#include "controller/selftest.h"
#include "model/model.h"
#include "support/fakeservice.h"

using testsupport::FakeService;
using testsupport::HttpAnswer;

class TestSelfTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void serviceReachedThenMissing();

private:
    QString run(int* failures);
    FakeService m_service;
};

void TestSelfTest::initTestCase()
{
    QVERIFY(m_service.listen());
    qputenv("KESTREL_SERVICE_URL", m_service.baseUrl().toUtf8());
    QCOMPARE(model::Model::baseUrl(), m_service.baseUrl());
}

QString TestSelfTest::run(int* failures)
{
    QString text;
    QTextStream out(&text);
    *failures = controller::SelfTest(out).run();
    return text;
}

// Reached, the service is asked for the camera list of nobody; missing, it is
// reported with its address and the network error.
void TestSelfTest::serviceReachedThenMissing()
{
    m_service.setDefaultAnswer(HttpAnswer::json(203, R"({"body":"Unknown user","head":"Sorry"})"));
    int failures = -1;
    QString text = run(&failures);
    QVERIFY2(text.contains(QRegularExpression("service: web service reachable +PASS\n")), qPrintable(text));
    QVERIFY2(text.contains(QRegularExpression("exif: tags written and read back +PASS\n")), qPrintable(text));
    QCOMPARE(m_service.requestsTo("/getSyncList").size(), 1);
    QCOMPARE(m_service.requestsTo("/getSyncList")[0].body, QByteArray(R"({"userID":""})"));

    m_service.stopListening();
    text = run(&failures);
    QVERIFY(failures >= 1);
    const QString expected = QStringLiteral("FAIL %1getSyncList: HTTP status 0, network error %2\n")
                                 .arg(m_service.baseUrl())
                                 .arg(int(QNetworkReply::ConnectionRefusedError));
    QVERIFY2(text.contains(expected), qPrintable(text));
}

QTEST_MAIN(TestSelfTest)
#include "tst_selftest.moc"
