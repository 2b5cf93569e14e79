#ifndef TARVO_PORTFIELDS_H
#define TARVO_PORTFIELDS_H

#include "config/configvalues.h"
#include "ui_mainwindow.h"

#include <array>

// The form's widgets of one DMX port, in the order of PortValues::Field
// (universe, BREAK, MAB, MBF, WAIT, channels), which is also the order the
// port's fields are checked in before sending.
struct PortFields {
    std::array<QLineEdit *, PortValues::FieldCount> fields;
    QComboBox *mergeMode;
};

inline std::array<PortFields, ConfigRecord::PortCount> portFields(const Ui::MainWindowClass *ui)
{
    return {{
        {{ui->UniverseLine, ui->BREAKLine, ui->MABLine, ui->MBFLine, ui->WAITLine, ui->ChannelsLine}, ui->MergeModeBox},
        {{ui->UniverseLine_2, ui->BREAKLine_2, ui->MABLine_2, ui->MBFLine_2, ui->WAITLine_2, ui->ChannelsLine_2},
         ui->MergeModeBox_2},
        {{ui->UniverseLine_3, ui->BREAKLine_3, ui->MABLine_3, ui->MBFLine_3, ui->WAITLine_3, ui->ChannelsLine_3},
         ui->MergeModeBox_3},
        {{ui->UniverseLine_4, ui->BREAKLine_4, ui->MABLine_4, ui->MBFLine_4, ui->WAITLine_4, ui->ChannelsLine_4},
         ui->MergeModeBox_4},
    }};
}

#endif
