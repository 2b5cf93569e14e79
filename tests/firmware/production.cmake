tarvo_add_test(tst_production SOURCES tst_production.cpp)
target_compile_definitions(tst_production PRIVATE TARVO_PRODUCTION="$<TARGET_FILE:tarvo-production>")
add_dependencies(tst_production tarvo-production)
