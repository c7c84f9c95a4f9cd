// The suggested-model catalog and how it is rated for a machine.
#include "models/curated_catalog.h"
#include "models/device_info.h"

#include <QHash>
#include <QSet>
#include <QUrl>
#include <QtTest>

using Tier = ModelPerformanceTier;

class TestCatalog : public QObject {
    Q_OBJECT

private slots:
    // Green up to the low bound inclusive, yellow up to the high one inclusive, red above. Without usable memory
    // only a size of 0 GB is green, and so is a size that does not parse.
    void tiers_data()
    {
        QTest::addColumn<bool>("apple");
        QTest::addColumn<double>("ramGB");
        QTest::addColumn<QString>("size");
        QTest::addColumn<Tier>("tier");
        const auto bounds = [](const char *name, bool apple, double ramGB, double low, double high) {
            for (const auto &[size, tier] : {std::pair{low, Tier::Green}, std::pair{low + 0.001, Tier::Yellow},
                                             std::pair{high, Tier::Yellow}, std::pair{high + 0.001, Tier::Red}}) {
                const QString text = QString::number(size, 'g', 10) + QStringLiteral(" GB");
                QTest::addRow("%s, %s", name, qPrintable(text)) << apple << ramGB << text << tier;
            }
        };
        bounds("apple 8", true, 8.0, 3.3, 5.225);
        bounds("intel 16", false, 16.0, 6.25, 10.0);
        for (const auto &[size, tier] : {std::pair{" 0.1 GB ", Tier::Red}, std::pair{"0 GB", Tier::Green},
                                         std::pair{"1.6 MB", Tier::Green}})
            QTest::addRow("no usable memory, [%s]", size) << true << 2.0 << QString::fromLatin1(size) << tier;
    }

    void tiers()
    {
        QFETCH(bool, apple);
        QFETCH(double, ramGB);
        QFETCH(QString, size);
        QFETCH(Tier, tier);
        CuratedModel model;
        model.size = size;
        QCOMPARE(performanceTier(model, DeviceInfo{ramGB, apple, QStringLiteral("test"), QString()}), tier);
    }

    // Every entry has its own name, a size that parses and a GGUF link of the hosting service's shape, served by
    // another host under the same path. Rated, entries come once each, by tier then size, else in catalog order.
    void catalogEntries()
    {
        const QList<CuratedModel> &models = CuratedCatalog::all();
        QVERIFY(models.size() > 10);
        const QString host = QLatin1String(CuratedCatalog::kModelHost);
        QHash<QUuid, int> catalogIndex;
        QSet<QString> names;
        for (const CuratedModel &m : models) {
            QVERIFY2(parsedSizeGB(m.size) > 0.0, qPrintable(m.size));
            QVERIFY2(m.url.startsWith(host + u'/') && m.url.contains(QLatin1String("/resolve/main/"))
                         && m.url.endsWith(QLatin1String(".gguf")) && m.url.mid(host.size()).count(u'/') == 5,
                     qPrintable(m.url)); // /owner/repository/resolve/main/file
            QCOMPARE(CuratedCatalog::catalogUrl(m, "file:///tmp/hub/"), "file:///tmp/hub" + QUrl(m.url).path());
            names.insert(m.name);
            catalogIndex.insert(m.id, int(catalogIndex.size()));
        }
        QCOMPARE(names.size(), models.size());
        const DeviceInfo &current = DeviceInfo::current(); // this machine, as the picker rates for it
        QVERIFY(current.totalRAMGB > 0.0 && !current.chipDescription.isEmpty());
        CuratedModel elsewhere;
        elsewhere.url = QStringLiteral("https://huggingface.com/a/b/resolve/main/c.gguf");
        QCOMPARE(CuratedCatalog::catalogUrl(elsewhere, "http://127.0.0.1:8080"), elsewhere.url);

        for (const auto &[ramGB, apple] : {std::pair{8.0, true}, std::pair{16.0, true}, std::pair{64.0, false}}) {
            const DeviceInfo device{ramGB, apple, QStringLiteral("test"), QString()};
            const auto rated = ratedCatalog(device);
            QCOMPARE(rated.size(), models.size());
            QHash<QUuid, int> unrated = catalogIndex;
            std::optional<std::tuple<Tier, double, int>> previous;
            for (const auto &[model, tier] : rated) {
                QCOMPARE(tier, performanceTier(model, device));
                const auto current = std::tuple(tier, parsedSizeGB(model.size), unrated.take(model.id));
                QVERIFY2(!previous || *previous < current, qPrintable(model.name));
                previous = current;
            }
            QVERIFY(unrated.isEmpty()); // every entry once
        }
    }
};

QTEST_GUILESS_MAIN(TestCatalog)
#include "tst_catalog.moc"
