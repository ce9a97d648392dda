# The findings' rules are the operator's command's (cli/): built here from
# its sources, with the JSON library they speak.
find_package(nlohmann_json 3.10 CONFIG REQUIRED)
target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/cli/findings.cc ${CMAKE_SOURCE_DIR}/cli/roster.cc
                               ${CMAKE_SOURCE_DIR}/cli/show.cc)
target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/cli)
target_link_libraries(${name} PRIVATE nlohmann_json::nlohmann_json)
