#ifndef TARVO_CLI_METRICS_H
#define TARVO_CLI_METRICS_H

#include <QCommandLineOption>
#include <QList>

struct Request;

// tarvo metrics: one search, written in Prometheus's text format for
// node_exporter's textfile collector, with the nodes seen before that no
// longer answer (docs/MONITORING.md).
QList<QCommandLineOption> metricsOptions();
int metrics(const Request &request);

#endif
