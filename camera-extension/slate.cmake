# The camera's waiting slate: drawn with Cairo/Pango, converted to NV12 with libswscale.
# Included from the top-level CMakeLists; expects VSC_WARNINGS and PkgConfig to be set up.
find_package(PkgConfig REQUIRED)
pkg_check_modules(VSC_SLATE_DEPS REQUIRED IMPORTED_TARGET cairo pangocairo libswscale libavutil)

add_library(vsc_slate STATIC ${CMAKE_CURRENT_LIST_DIR}/slate.cpp)
target_include_directories(vsc_slate PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(vsc_slate PRIVATE ${VSC_WARNINGS})
target_link_libraries(vsc_slate PRIVATE PkgConfig::VSC_SLATE_DEPS)
