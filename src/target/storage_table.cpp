#include "target/storage.h"

// One row per supported combination. Chip numbers are decimal here; the
// general build form compares them in their hexadecimal-digit form
// (BuildForm::TableChipNumber).
//
//  chip    expand  ecc    dual     bank  eFlashSize eFlashOffset snorSize  snorOffset
const StorageBankRow g_storageBankTable[kStorageBankRows] = {
    {{30110, false, false, false}, {0, 0x200000, 0, 0, 0}},
    {{30110, false, false, true}, {0, 0x100000, 0, 0, 0}},
    {{30110, false, false, true}, {1, 0x100000, 0x100000, 0, 0}},
    {{30140, false, false, false}, {0, 0x200000, 0, 0, 0}},
    {{30140, false, false, true}, {0, 0x100000, 0, 0, 0}},
    {{30140, false, false, true}, {1, 0x100000, 0x100000, 0, 0}},
    {{20230, false, false, false}, {0, 0x200000, 0, 0, 0}},
    {{20230, true, false, false}, {0, 0x200000, 0, 0x100000, 0}},
    {{20230, false, false, true}, {0, 0x100000, 0, 0, 0}},
    {{20230, false, false, true}, {1, 0x100000, 0x100000, 0, 0}},
    {{20230, true, false, true}, {0, 0x100000, 0, 0, 0}},
    {{20230, true, false, true}, {1, 0x100000, 0x100000, 0, 0}},
    {{30230, false, true, false}, {0, 0x200000, 0, 0, 0}},
    {{30230, true, true, false}, {0, 0x200000, 0, 0x100000, 0}},
    {{30230, false, true, true}, {0, 0x100000, 0, 0, 0}},
    {{30230, false, true, true}, {1, 0x100000, 0x100000, 0, 0}},
    {{30230, true, true, true}, {0, 0x100000, 0, 0, 0}},
    {{30230, true, true, true}, {1, 0x100000, 0x100000, 0, 0}},
    {{20360, false, false, false}, {0, 0x200000, 0, 0, 0}},
    {{20360, true, false, false}, {0, 0x200000, 0, 0x200000, 0}},
    {{20360, false, false, true}, {0, 0x100000, 0, 0, 0}},
    {{20360, false, false, true}, {1, 0x100000, 0x100000, 0, 0}},
    {{20360, true, false, true}, {0, 0x200000, 0, 0, 0}},
    {{20360, true, false, true}, {1, 0, 0, 0x200000, 0}},
    {{30360, false, true, false}, {0, 0x200000, 0, 0, 0}},
    {{30360, true, true, false}, {0, 0x200000, 0, 0x1BD000, 0}},
    {{30360, false, true, true}, {0, 0x100000, 0, 0, 0}},
    {{30360, false, true, true}, {1, 0x100000, 0x100000, 0, 0}},
    {{30360, true, true, true}, {0, 0x1BD000, 0, 0, 0}},
    {{30360, true, true, true}, {1, 0, 0, 0x1BD000, 0}},
};
