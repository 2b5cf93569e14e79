#ifndef TARVO_PORTFIELDS_H
#define TARVO_PORTFIELDS_H

#include "config/configrecord.h"
#include "ui_mainwindow.h"

#include <array>

// The form's widgets of one DMX port, in the order the port's fields are
// checked before sending, each with the record word it shows and edits.
struct PortFields {
    struct Field {
        QLineEdit *line;
        int word; // PortConfig offset
    };
    enum : int { Universe, Break, Mab, Mbf, Wait, Channels, Count };
    std::array<Field, Count> fields;
    QComboBox *mergeMode;
};

inline PortFields portFields(QLineEdit *universe, QLineEdit *breakTime, QLineEdit *mab, QLineEdit *mbf, QLineEdit *wait,
                             QLineEdit *channels, QComboBox *mergeMode)
{
    return {{{{universe, PortConfig::UniverseIndex},
              {breakTime, PortConfig::BreakTime},
              {mab, PortConfig::MabTime},
              {mbf, PortConfig::MbfTime},
              {wait, PortConfig::WaitTime},
              {channels, PortConfig::ChannelCount}}},
            mergeMode};
}

inline std::array<PortFields, ConfigRecord::PortCount> portFields(const Ui::MainWindowClass *ui)
{
    return {{
        portFields(ui->UniverseLine, ui->BREAKLine, ui->MABLine, ui->MBFLine, ui->WAITLine, ui->ChannelsLine,
                   ui->MergeModeBox),
        portFields(ui->UniverseLine_2, ui->BREAKLine_2, ui->MABLine_2, ui->MBFLine_2, ui->WAITLine_2, ui->ChannelsLine_2,
                   ui->MergeModeBox_2),
        portFields(ui->UniverseLine_3, ui->BREAKLine_3, ui->MABLine_3, ui->MBFLine_3, ui->WAITLine_3, ui->ChannelsLine_3,
                   ui->MergeModeBox_3),
        portFields(ui->UniverseLine_4, ui->BREAKLine_4, ui->MABLine_4, ui->MBFLine_4, ui->WAITLine_4, ui->ChannelsLine_4,
                   ui->MergeModeBox_4),
    }};
}

#endif
