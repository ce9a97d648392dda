# trust_test: the operator's command reads the group beside the servers.
target_compile_definitions(${name} PRIVATE ZVGM_BIN="$<TARGET_FILE:zvgm_cli>")
