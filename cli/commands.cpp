#include "cli/commands.h"

#include "cli/configfile.h"
#include "cli/fleetupgrade.h"
#include "cli/inventory.h"
#include "cli/nodejob.h"
#include "cli/output.h"
#include "config/configvalues.h"
#include "firmware/firmwareupgrade.h"
#include "firmware/upgradefile.h"
#include "link/devicerecord.h"
#include "link/trace.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QSaveFile>
#include <algorithm>
#include <memory>

namespace {

// --- finding the nodes ---------------------------------------------------

struct Fleet {
    Inventory inventory;
    QVector<NodeInfo> found;
    QVector<NodeInfo> nodes; // the ones the command names
};

// Chooses the address, binds the run's discovery socket and searches once
// for the nodes named by the operands from `first` on (`count` of them, or
// all), or for every node. Returns -1 to go on, or the exit code.
int findNodes(const Request &r, Fleet &fleet, int first = 0, int count = -1)
{
    const bool everyNode = r.all || r.command == QLatin1String("search");
    const AddressChoice choice = chooseAddress(r.interface);
    if (!choice.error.isEmpty()) {
        out::message(QStringLiteral("tarvo: ") + choice.error);
        return choice.usage ? UsageError : Failure;
    }
    QString error;
    if (!fleet.inventory.bind(choice.address, &error)) {
        out::message(QStringLiteral("tarvo: ") + error);
        return Failure;
    }
    const QStringList names = r.operands.mid(first, count);
    std::function<bool(const QVector<NodeInfo> &)> enough;
    if (!everyNode)
        enough = [names](const QVector<NodeInfo> &found) { return allIdentified(found, names); };
    fleet.found = fleet.inventory.search(r.timeoutMs, enough);
    std::sort(fleet.found.begin(), fleet.found.end(), [](const NodeInfo &a, const NodeInfo &b) {
        return a.address.toIPv4Address() < b.address.toIPv4Address();
    });
    if (everyNode) {
        fleet.nodes = fleet.found;
        if (fleet.nodes.isEmpty() && r.all) {
            out::message(QStringLiteral("tarvo: no node answered"));
            return Failure;
        }
        return -1;
    }
    const Selection s = selectNodes(fleet.found, names);
    for (const QString &e : s.errors)
        out::message(QStringLiteral("tarvo: ") + e);
    if (!s.errors.isEmpty())
        return Failure;
    fleet.nodes = s.nodes;
    return -1;
}

// --- what is printed -----------------------------------------------------

QString typeName(const NodeInfo &n)
{
    return n.bootLoader() ? QStringLiteral("bootloader") : QStringLiteral("application");
}

QString macText(const QByteArray &record)
{
    if (!wire::has(record, DeviceRecord::MacOffset, DeviceRecord::MacSize))
        return QString();
    QStringList parts;
    for (int i = 0; i < DeviceRecord::MacSize; ++i)
        parts.append(QString::asprintf("%02x", unsigned(static_cast<unsigned char>(record.at(DeviceRecord::MacOffset + i)))));
    return parts.join(QLatin1Char(':'));
}

// The inventory's columns, node texts made printable (JSON keeps them as
// they are; its writer escapes them).
QStringList inventoryRow(const NodeInfo &n)
{
    const QByteArray &r = n.record;
    return {printable(n.serial()), printable(DeviceRecord::deviceLabel(r)), n.address.toString(),
            printable(DeviceRecord::firmwareVersion(r)), printable(DeviceRecord::deviceName(r)), macText(r),
            typeName(n)};
}

QJsonObject inventoryObject(const NodeInfo &n)
{
    const QByteArray &r = n.record;
    return {{QStringLiteral("serial"), QString::fromLatin1(n.serial())},
            {QStringLiteral("label"), QString::fromLatin1(DeviceRecord::deviceLabel(r))},
            {QStringLiteral("address"), n.address.toString()},
            {QStringLiteral("firmware"), QString::fromLatin1(DeviceRecord::firmwareVersion(r))},
            {QStringLiteral("name"), QString::fromLatin1(DeviceRecord::deviceName(r))},
            {QStringLiteral("mac"), macText(r)},
            {QStringLiteral("type"), typeName(n)}};
}

QString seconds(qint64 ms)
{
    return QString::number(double(ms) / 1000.0, 'f', 2) + QStringLiteral(" s");
}

// Per node: the result, why, and how long it took; as a table or JSON.
struct Summary {
    struct Row {
        NodeInfo node;
        Outcome outcome;
    };
    QVector<Row> rows;

    void add(const NodeInfo &node, const Outcome &outcome) { rows.append({node, outcome}); }
    bool allOk() const
    {
        return std::all_of(rows.cbegin(), rows.cend(), [](const Row &r) { return r.outcome.ok; });
    }
    int print(bool json) const
    {
        if (json) {
            QJsonArray a;
            for (const Row &r : rows)
                a.append(QJsonObject{{QStringLiteral("serial"), QString::fromLatin1(r.node.serial())},
                                     {QStringLiteral("address"), r.node.address.toString()},
                                     {QStringLiteral("result"), r.outcome.result},
                                     {QStringLiteral("reason"), r.outcome.reason},
                                     {QStringLiteral("seconds"), double(r.outcome.ms) / 1000.0}});
            out::data(out::json(a));
        } else {
            QVector<QStringList> lines;
            for (const Row &r : rows)
                lines.append({printable(r.node.serial()), r.node.address.toString(), r.outcome.result,
                              seconds(r.outcome.ms), r.outcome.reason});
            for (const QString &l : out::table({"SERIAL", "ADDRESS", "RESULT", "TIME", "REASON"}, lines))
                out::data(l);
        }
        return allOk() ? Success : Failure;
    }
};

Outcome skipped(const QString &reason)
{
    return {true, QStringLiteral("skipped"), reason, 0};
}

int parallelism(const Request &r, int count)
{
    return r.parallel > 0 ? r.parallel : qMin<int>(qMax(1, count), Request::MaxParallel);
}

// The jobs of one command, one per node that has something to do.
struct Jobs {
    std::vector<std::unique_ptr<NodeJob>> owned;
    QVector<NodeJob *> list;
    QHash<QByteArray, Outcome> preset; // nodes decided without a job (skipped, refused)

    template <class Job, class... Args> Job *add(Args &&...args)
    {
        auto job = std::make_unique<Job>(std::forward<Args>(args)...);
        Job *raw = job.get();
        owned.push_back(std::move(job));
        list.append(raw);
        return raw;
    }

    // Runs the jobs, then prints the summary and returns the exit code.
    int runAndReport(const Request &r, const QVector<NodeInfo> &nodes, const std::function<void(NodeJob *)> &done = {},
                     const std::function<Outcome(NodeJob *)> &amend = {})
    {
        runJobs(list, parallelism(r, int(list.size())), done);
        return summary(nodes, amend).print(r.json);
    }

    // The outcomes in the order the nodes were named; `amend` may turn a
    // job's outcome into the command's (a backup still has a file to write).
    Summary summary(const QVector<NodeInfo> &nodes, const std::function<Outcome(NodeJob *)> &amend = {}) const
    {
        QHash<QByteArray, NodeJob *> bySerial;
        for (NodeJob *job : list)
            bySerial.insert(job->node().serial(), job);
        Summary s;
        for (const NodeInfo &n : nodes) {
            if (preset.contains(n.serial()))
                s.add(n, preset.value(n.serial()));
            else if (NodeJob *job = bySerial.value(n.serial()))
                s.add(n, amend ? amend(job) : job->outcome());
        }
        return s;
    }
};

// Node texts end up in file names: only a plain serial may name a file.
bool safeFileStem(const QByteArray &serial)
{
    if (serial.isEmpty() || serial.startsWith('.'))
        return false;
    return std::all_of(serial.cbegin(), serial.cend(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '_' ||
            c == '.';
    });
}

QString backupPath(const QString &dir, const NodeInfo &n)
{
    return QDir(dir).filePath(QString::fromLatin1(n.serial()) + QStringLiteral(".json"));
}

bool writeWhole(const QString &path, const QByteArray &data, QString *error)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit())
        return true;
    *error = path + QStringLiteral(": cannot be written: ") + file.errorString();
    return false;
}

QByteArray configText(const NodeInfo &n, const QByteArray &record)
{
    return configfile::toText(ConfigValues::fromRecord(record), n.serial());
}

// --- the commands --------------------------------------------------------

int search(const Request &r)
{
    Fleet fleet;
    if (const int code = findNodes(r, fleet); code >= 0)
        return code;
    if (r.json) {
        QJsonArray a;
        for (const NodeInfo &n : fleet.nodes)
            a.append(inventoryObject(n));
        out::data(out::json(a));
    } else if (r.csv) {
        out::data(QStringLiteral("serial,label,address,firmware,name,mac,type"));
        for (const NodeInfo &n : fleet.nodes) {
            QStringList fields = inventoryRow(n);
            for (QString &f : fields)
                f = out::csvField(f);
            out::data(fields.join(QLatin1Char(',')));
        }
    } else {
        QVector<QStringList> rows;
        for (const NodeInfo &n : fleet.nodes)
            rows.append(inventoryRow(n));
        for (const QString &l : out::table({"SERIAL", "LABEL", "ADDRESS", "FIRMWARE", "NAME", "MAC", "TYPE"}, rows))
            out::data(l);
    }
    out::message(QStringLiteral("%1 node(s) answered").arg(fleet.nodes.size()));
    return Success;
}

// Finds the one node named and reads its configuration. Returns -1 when
// both went well, else the exit code; the node is in fleet.nodes when only
// the reading failed (reported here).
int findAndRead(const Request &r, Fleet &fleet, QByteArray *record)
{
    if (const int code = findNodes(r, fleet); code >= 0)
        return code;
    ConfigJob job(fleet.nodes.first(), r.timeoutMs, ConfigJob::Action::Read);
    runJobs({&job}, 1);
    if (!job.outcome().ok) {
        out::message(QStringLiteral("tarvo: %1: %2").arg(job.node().name(), job.outcome().reason));
        return Failure;
    }
    *record = job.record();
    return -1;
}

int show(const Request &r)
{
    Fleet fleet;
    QByteArray record;
    const int code = findAndRead(r, fleet, &record);
    if (fleet.nodes.isEmpty())
        return code;
    const NodeInfo &node = fleet.nodes.first();
    const bool read = code < 0;
    if (r.json) {
        QJsonObject o = inventoryObject(node);
        if (read)
            o.insert(QStringLiteral("config"), configfile::toJson(ConfigValues::fromRecord(record), node.serial()));
        out::data(out::json(o));
        return read ? Success : Failure;
    }
    const QStringList names{"Serial", "Label", "Address", "Firmware", "Device name", "MAC", "Type"};
    const QStringList values = inventoryRow(node);
    for (int i = 0; i < names.size(); ++i)
        out::data((names.at(i) + QLatin1Char(':')).leftJustified(14) + values.at(i));
    if (!read)
        return Failure;
    const ConfigValues v = ConfigValues::fromRecord(record);
    out::data(QStringLiteral("Configuration:"));
    out::data(QStringLiteral("  Label:      ") + printable(v.label));
    out::data(QStringLiteral("  IP address: ") + v.ip);
    out::data(QStringLiteral("  Subnet:     ") + v.mask);
    out::data(QStringLiteral("  Gateway:    ") + v.gateway);
    QVector<QStringList> rows;
    for (int p = 0; p < ConfigRecord::PortCount; ++p) {
        QStringList row{QString::number(p + 1)};
        for (const quint32 value : v.ports[size_t(p)].field)
            row.append(QString::number(value));
        row.append(v.ports[size_t(p)].mergeMode == 0 ? QStringLiteral("HTP") : QStringLiteral("LTP"));
        rows.append(row);
    }
    for (const QString &l : out::table({"PORT", "UNIVERSE", "BREAK", "MAB", "MBF", "WAIT", "CHANNELS", "MERGE"}, rows))
        out::data(QStringLiteral("  ") + l);
    return Success;
}

int configGet(const Request &r)
{
    Fleet fleet;
    QByteArray record;
    if (const int code = findAndRead(r, fleet, &record); code >= 0)
        return code;
    const NodeInfo &node = fleet.nodes.first();
    const QByteArray text = configText(node, record);
    if (r.output.isEmpty()) {
        out::data(QString::fromUtf8(text).trimmed());
        return Success;
    }
    QString error;
    if (!writeWhole(r.output, text, &error)) {
        out::message(QStringLiteral("tarvo: ") + error);
        return Failure;
    }
    out::message(QStringLiteral("%1: configuration written to %2").arg(node.name(), r.output));
    return Success;
}

// The window's checks, in its order and with its texts.
bool checked(const QString &source, const ConfigValues &values, QByteArray *record)
{
    const configcheck::Refusal refusal = configcheck::buildSetConfig(values, record);
    if (!refusal.refused())
        return true;
    out::message(QStringLiteral("tarvo: %1: Config error: %2").arg(source, refusal.text));
    return false;
}

int configSet(const Request &r)
{
    // The file is read and checked before any node hears of it.
    const QString path = r.operands.at(1);
    const configfile::Parsed file = configfile::readFile(path);
    if (!file.ok()) {
        out::message(QStringLiteral("tarvo: ") + file.error);
        return Failure;
    }
    QByteArray record;
    if (!checked(path, file.values, &record))
        return Failure;
    Fleet fleet;
    if (const int code = findNodes(r, fleet, 0, 1); code >= 0)
        return code;
    Jobs jobs;
    jobs.add<ConfigJob>(fleet.nodes.first(), r.timeoutMs, ConfigJob::Action::Write,
                        [record](const QByteArray &, QByteArray *out) {
                            *out = record;
                            return QString();
                        });
    return jobs.runAndReport(r, fleet.nodes);
}

int factoryDefault(const Request &r)
{
    Fleet fleet;
    if (const int code = findNodes(r, fleet); code >= 0)
        return code;
    Jobs jobs;
    jobs.add<ConfigJob>(fleet.nodes.first(), r.timeoutMs, ConfigJob::Action::Default);
    return jobs.runAndReport(r, fleet.nodes);
}

int backup(const Request &r)
{
    const QString dir = r.operands.first();
    if (!QDir().mkpath(dir)) {
        out::message(QStringLiteral("tarvo: cannot create the folder ") + dir);
        return Failure;
    }
    Fleet fleet;
    if (const int code = findNodes(r, fleet, 1); code >= 0)
        return code;
    Jobs jobs;
    for (const NodeInfo &n : fleet.nodes) {
        if (safeFileStem(n.serial()))
            jobs.add<ConfigJob>(n, r.timeoutMs, ConfigJob::Action::Read);
        else
            jobs.preset.insert(n.serial(), {false, QStringLiteral("failed"), QStringLiteral("its serial cannot name a file"), 0});
    }
    // The files are written once every node is read, each whole or not at all.
    return jobs.runAndReport(r, fleet.nodes, {}, [&dir](NodeJob *job) {
        Outcome o = job->outcome();
        if (!o.ok)
            return o;
        const QString path = backupPath(dir, job->node());
        QString error;
        if (writeWhole(path, configText(job->node(), static_cast<ConfigJob *>(job)->record()), &error))
            o.reason = path;
        else
            o = {false, QStringLiteral("failed"), error, o.ms};
        return o;
    });
}

int restore(const Request &r)
{
    const QString dir = r.operands.first();
    Fleet fleet;
    if (const int code = findNodes(r, fleet, 1); code >= 0)
        return code;

    // Every file is read and checked before any node hears of it.
    Jobs jobs;
    QVector<NodeInfo> targets;
    QVector<ConfigValues> values;
    bool refused = false;
    for (const NodeInfo &n : fleet.nodes) {
        const QString path = safeFileStem(n.serial()) ? backupPath(dir, n) : QString();
        if (r.all && (path.isEmpty() || !QFile::exists(path))) {
            jobs.preset.insert(n.serial(), skipped(QStringLiteral("no backup in ") + dir));
            continue;
        }
        const configfile::Parsed file =
            path.isEmpty() ? configfile::Parsed{{}, {}, QStringLiteral("its serial cannot name a file")}
                           : configfile::readFile(path);
        if (!file.ok()) {
            out::message(QStringLiteral("tarvo: %1: %2").arg(n.name(), file.error));
            refused = true;
            continue;
        }
        ConfigValues probe = file.values;
        if (!r.withNetwork)
            probe.ip = probe.mask = probe.gateway = QStringLiteral("0.0.0.0"); // the node's own are kept
        QByteArray record;
        if (!checked(path, probe, &record)) {
            refused = true;
            continue;
        }
        targets.append(n);
        values.append(file.values);
    }
    if (refused) {
        out::message(QStringLiteral("tarvo: nothing was sent"));
        return Failure;
    }
    if (targets.isEmpty()) {
        out::message(QStringLiteral("tarvo: no node to restore"));
        return Failure;
    }
    for (int i = 0; i < targets.size(); ++i) {
        const ConfigValues saved = values.at(i);
        const bool withNetwork = r.withNetwork;
        jobs.add<ConfigJob>(targets.at(i), r.timeoutMs, ConfigJob::Action::Write,
                            [saved, withNetwork](const QByteArray &current, QByteArray *record) {
                                ConfigValues v = saved;
                                if (!withNetwork) {
                                    const ConfigValues now = ConfigValues::fromRecord(current);
                                    v.ip = now.ip;
                                    v.mask = now.mask;
                                    v.gateway = now.gateway;
                                }
                                return configcheck::buildSetConfig(v, record).text;
                            });
    }
    return jobs.runAndReport(r, fleet.nodes);
}

int upgrade(const Request &r)
{
    // The window's checks of the file, before any node hears of it.
    const QString path = r.operands.first();
    const UpgradeImage image = UpgradeImage::read(path);
    switch (image.status) {
    case UpgradeImage::Ok:
        break;
    case UpgradeImage::Unreadable:
        out::message(QStringLiteral("tarvo: %1: Upgrade file cannot be opened!").arg(path));
        return Failure;
    case UpgradeImage::TooShort:
    case UpgradeImage::TooLarge:
    case UpgradeImage::Damaged:
        out::message(QStringLiteral("tarvo: %1: Upgrade file is damaged! (%2)")
                         .arg(path, image.status == UpgradeImage::TooShort  ? QStringLiteral("shorter than 131072 bytes")
                                    : image.status == UpgradeImage::TooLarge ? QStringLiteral("far too large")
                                                                             : QStringLiteral("wrong checksum or brand")));
        return Failure;
    }

    Fleet fleet;
    if (const int code = findNodes(r, fleet, 1); code >= 0)
        return code;

    Verifier verifier(fleet.inventory.discovery());
    const int verifyMs = r.timeoutMs * Request::VerifyBoundFactor;
    Jobs jobs;
    for (const NodeInfo &n : fleet.nodes) {
        if (!r.allowSameVersion && DeviceRecord::firmwareVersion(n.record) == image.version) {
            jobs.preset.insert(n.serial(), skipped(QStringLiteral("already at ") + printable(image.version)));
            out::message(QStringLiteral("%1: skipped, already at %2").arg(n.name(), printable(image.version)));
            continue;
        }
        jobs.add<UpgradeJob>(n, r.timeoutMs, image.file, image.version, &verifier, verifyMs);
    }

    // Bars only where someone watches them, and not between trace lines.
    ProgressDisplay display(out::isTerminal(stderr) && !r.verbose, int(jobs.list.size()));
    for (NodeJob *job : jobs.list)
        QObject::connect(static_cast<UpgradeJob *>(job), &UpgradeJob::progress,
                         [&display](NodeJob *j, qint64 sent, qint64 total) {
                             display.update(printable(j->node().serial()), sent, total);
                         });
    return jobs.runAndReport(r, fleet.nodes, [&display](NodeJob *job) {
        const Outcome &o = job->outcome();
        display.nodeFinished(printable(job->node().serial()));
        display.note(QStringLiteral("%1: %2, %3 (%4)").arg(job->node().name(), o.result, o.reason, seconds(o.ms)));
        if (display.allDone())
            display.close();
    });
}

int run(const Request &r)
{
    Fleet fleet;
    if (const int code = findNodes(r, fleet); code >= 0)
        return code;
    Jobs jobs;
    for (const NodeInfo &n : fleet.nodes) {
        if (n.bootLoader())
            jobs.add<RunJob>(n, r.timeoutMs);
        else
            jobs.preset.insert(n.serial(), skipped(QStringLiteral("already runs its application")));
    }
    return jobs.runAndReport(r, fleet.nodes);
}

} // namespace

int runCommand(const Request &r)
{
    static const struct {
        const char *name;
        int (*run)(const Request &);
    } table[] = {{"search", search},         {"show", show},     {"config get", configGet},
                 {"config set", configSet},  {"default", factoryDefault}, {"backup", backup},
                 {"restore", restore},       {"upgrade", upgrade},        {"run", run}};
    for (const auto &command : table)
        if (r.command == QLatin1String(command.name))
            return command.run(r);
    out::message(QStringLiteral("tarvo: unknown command ") + r.command);
    return UsageError;
}
