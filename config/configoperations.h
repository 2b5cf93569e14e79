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

// Reads the node's configuration, builds one SetConfig record from it and
// writes it. Done only when the node acknowledged it, or, for a record that
// moves the node to other network settings (the connection is then closed
// without waiting, as the node is about to leave it), once the node answers
// discovery at its new address.
class WriteConfigOperation : public NodeOperation
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
    void verifyMove();

    Builder build;
    QByteArray sent;
    enum class Step { Connecting, Reading, Writing, Moving, Verifying } step = Step::Connecting;
    bool otherAcknowledgement = false;
};

// Restores the factory configuration: reads the node's configuration
// first (to tell whether the factory one moves it), sends DefaultConfig and
// is done with the node's reply, the record it now applies.
class DefaultConfigOperation : public NodeOperation
{
    Q_OBJECT

public:
    DefaultConfigOperation(const NodeInfo &node, const OperationOptions &options, NodeVerifier *verifier,
                           QObject *parent = nullptr);

protected:
    void connected() override;
    void received(quint32 word, const QByteArray &message) override;

private:
    QByteArray before;
    enum class Step { Connecting, Reading, Defaulting } step = Step::Connecting;
};

#endif
