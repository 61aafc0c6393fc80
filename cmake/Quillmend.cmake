# qm_folder_headers(<target> <PUBLIC|INTERFACE>)
# Lets the target and whatever links it include "<folder>/<header>" from the calling folder, and
# no other folder: each folder is offered through an include directory of its own in the build
# tree (holding one link to the folder), so a header of a folder the target does not link is not
# found. Which folder may include which is checked by scripts/check-layering.sh.
function(qm_folder_headers target scope)
    get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
    set(root ${CMAKE_BINARY_DIR}/include/${folder})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${folder} SYMBOLIC)
    target_include_directories(${target} ${scope} ${root})
endfunction()

# qm_library(<target> [DEPS <targets...>])
# A subsystem library made of every .cpp of the calling folder (new files need no CMake edit).
function(qm_library target)
    cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    if(sources)
        add_library(${target} STATIC ${sources})
        target_link_libraries(${target} PUBLIC ${ARG_DEPS})
        qm_folder_headers(${target} PUBLIC)
    else()
        add_library(${target} INTERFACE)
        target_link_libraries(${target} INTERFACE ${ARG_DEPS})
        qm_folder_headers(${target} INTERFACE)
    endif()
endfunction()

# qm_test_suite(<name> [DEPS <targets...>])
# One GoogleTest executable from every *_test.cpp of the calling folder.
function(qm_test_suite name)
    cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/test_*.cpp)
    if(NOT sources)
        return()
    endif()
    add_executable(${name} ${sources})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} qm_testsupport GTest::gtest GTest::gmock GTest::gtest_main)
    gtest_discover_tests(${name}
        WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
        DISCOVERY_TIMEOUT 60)
endfunction()
