#ifndef TARVO_CONFIGOPERATIONS_H
#define TARVO_CONFIGOPERATIONS_H

#include "link/operation.h"

#include <functional>

// Reads the node's configuration (GetConfig). Done with the record.
class ReadConfigOperation : public NodeOperation
{
    Q_OBJECT

public:
    ReadConfigOperation(const NodeInfo &node, const OperationOptions &options, NodeVerifier *verifier,
                        QObject *parent = nullptr);

protected:
    void connected() override;
    void received(quint32 word, const QByteArray &message) override;
};

// What the writing operations share: a node given other network settings
// leaves the connection, and the change is known only once discovery shows
// the node (by serial and MAC address) with exactly those settings.
class NetworkChangeOperation : public NodeOperation
{
    Q_OBJECT

protected:
    using NodeOperation::NodeOperation;
    // Awaits the node with the address, mask and gateway of `record`: done
    // with `done` and "the node now answers at ...", or not verified with
    // `said`, what the node showed instead, and `unknown`.
    void verifyNetwork(const QByteArray &record, const QString &done, const QString &said, const QString &unknown);
};

// Reads the node's configuration, builds one SetConfig record from it and
// writes it. Done only when the node acknowledged it with the values sent,
// or, for a record that gives the node other network settings (the
// connection is then closed without waiting, as the node is about to leave
// it), once discovery shows the node with the new settings.
class WriteConfigOperation : public NetworkChangeOperation
{
    Q_OBJECT

public:
    // Builds the record to send from the node's current one; a non-empty
    // result refuses, and the operation ends Refused with nothing sent.
    using Builder = std::function<QString(const QByteArray &current, QByteArray *record)>;

    WriteConfigOperation(const NodeInfo &node, const OperationOptions &options, NodeVerifier *verifier,
                         Builder build, QObject *parent = nullptr);
    QString progressText() const override;

protected:
    void connected() override;
    void received(quint32 word, const QByteArray &message) override;
    void connectionEnded(bool byNode) override;
    void released() override { sent.clear(); }

private:
    void write(const QByteArray &current);

    Builder build;
    QByteArray sent;
    enum class Step { Connecting, Reading, Writing, Verifying } step = Step::Connecting;
    bool otherAcknowledgement = false;
};

// Restores the factory configuration: reads the node's configuration
// first (to tell whether the factory one moves it), sends DefaultConfig and
// is done with the node's reply, the record it now applies; where that
// moves the node, once discovery shows it with those settings.
class DefaultConfigOperation : public NetworkChangeOperation
{
    Q_OBJECT

public:
    DefaultConfigOperation(const NodeInfo &node, const OperationOptions &options, NodeVerifier *verifier,
                           QObject *parent = nullptr);
    QString progressText() const override;

protected:
    void connected() override;
    void received(quint32 word, const QByteArray &message) override;
    void connectionEnded(bool byNode) override;

private:
    QByteArray before;
    enum class Step { Connecting, Reading, Defaulting, Verifying } step = Step::Connecting;
};

#endif
