#pragma once

#include "dialogs/optionpage.h"

#include <vector>

// The pages of the global options dialog, in sidebar order, each a table of
// rows (see dialogs/optionpage.h). Session pages of the same subjects live
// beside these tables and may reuse their rows.
struct OptionPage {
    OptionText title;
    const std::vector<OptionRow> &(*rows)();
};

const std::vector<OptionPage> &globalOptionPages();

const std::vector<OptionRow> &generalPageRows();
const std::vector<OptionRow> &themePageRows();
const std::vector<OptionRow> &defaultSessionPageRows();
const std::vector<OptionRow> &credentialsPageRows();
const std::vector<OptionRow> &proxyPageRows();
const std::vector<OptionRow> &displayPageRows();
const std::vector<OptionRow> &globalLogPageRows();
const std::vector<OptionRow> &globalScriptPageRows();
const std::vector<OptionRow> &tunnelsPageRows();
const std::vector<OptionRow> &keysPageRows();
const std::vector<OptionRow> &keymapPageRows();
const std::vector<OptionRow> &commandsPageRows();
const std::vector<OptionRow> &transferPageRows();
const std::vector<OptionRow> &advancedPageRows();
