tarvo_add_test(tst_image SOURCES tst_image.cpp tst_upgrade_files.h)
tarvo_add_test(tst_createupg SOURCES tst_createupg.cpp tst_upgrade_files.h)
tarvo_add_test(tst_upgrade SOURCES tst_upgrade.cpp tst_upgrade_files.h)
tarvo_add_test(tst_runapp SOURCES tst_runapp.cpp tst_upgrade_files.h)
