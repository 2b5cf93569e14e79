#ifndef TARVO_CONFIGOPERATIONS_H
#define TARVO_CONFIGOPERATIONS_H

#include "config/configexchange.h"
#include "link/operation.h"

#include <functional>

// What the configuration operations share: the window's configuration
// exchange on their session, run strict (each reply counts only as the
// answer it awaits), and the verification of new network settings: a node
// given other settings leaves the connection, and the change is known only
// once discovery shows the node (by serial and MAC address) with exactly
// those settings.
class ConfigOperation : public NodeOperation
{
    Q_OBJECT

protected:
    ConfigOperation(const NodeInfo &node, const OperationOptions &options, const ConfigOptions &config,
                    NodeVerifier *verifier, QObject *parent);
    // The exchange handles every reply.
    void received(quint32, const QByteArray &) override {}
    void released() override;
    // A close the exchange made (the node leaves for other network
    // settings) is no lost connection: what follows is for discovery.
    void connectionEnded(bool byNode) override;
    // Asks for the node's configuration; `read` gets it.
    void readConfiguration(const std::function<void(const QByteArray &record)> &read);
    // Awaits the node with the address, mask and gateway of `record`: done
    // with `done` and "the node now answers at ...", or not verified with
    // `said`, what the node showed instead, and `unknown`.
    void verifyNetwork(const QByteArray &record, const QString &done, const QString &said, const QString &unknown);

    ConfigExchange *exchange;
};

// Reads the node's configuration (GetConfig). Done with the record.
class ReadConfigOperation : public ConfigOperation
{
    Q_OBJECT

public:
    ReadConfigOperation(const NodeInfo &node, const OperationOptions &options, const ConfigOptions &config,
                        NodeVerifier *verifier, QObject *parent = nullptr);

protected:
    void connected() override;
};

// Reads the node's configuration, builds one SetConfig record from it and
// writes it. Done only when the node acknowledged it with the values sent,
// or, for a record that gives the node other network settings (the
// connection is then closed without waiting, as the node is about to leave
// it), once discovery shows the node with the new settings.
class WriteConfigOperation : public ConfigOperation
{
    Q_OBJECT

public:
    // Builds the record to send from the node's current one; a non-empty
    // result refuses, and the operation ends Refused with nothing sent. A
    // builder that leaves the record empty finds nothing to change: the
    // operation ends Done with nothing sent (Untouched).
    using Builder = std::function<QString(const QByteArray &current, QByteArray *record)>;

    WriteConfigOperation(const NodeInfo &node, const OperationOptions &options, const ConfigOptions &config,
                         NodeVerifier *verifier, Builder build, QObject *parent = nullptr);
    QString progressText() const override;

protected:
    void connected() override;
    void connectionEnded(bool byNode) override;

private:
    void write(const QByteArray &current);

    Builder build;
    QByteArray sent;
    enum class Step { Connecting, Reading, Writing, Verifying } step = Step::Connecting;
};

// Restores the factory configuration: reads the node's configuration
// first (to tell whether the factory one moves it), sends DefaultConfig and
// is done with the node's reply, the record it now applies; where that
// moves the node, once discovery shows it with those settings.
class DefaultConfigOperation : public ConfigOperation
{
    Q_OBJECT

public:
    DefaultConfigOperation(const NodeInfo &node, const OperationOptions &options, const ConfigOptions &config,
                           NodeVerifier *verifier, QObject *parent = nullptr);
    QString progressText() const override;

protected:
    void connected() override;

private:
    void applied(bool networkChanged);

    enum class Step { Connecting, Reading, Defaulting, Verifying } step = Step::Connecting;
};

#endif
