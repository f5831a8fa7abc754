# Every place that states Kestrun's version must state the CMake project's: the Debian changelog
# (the package's version) and the newest release in the AppStream metainfo, with the same date.
#   cmake -DVERSION=<project version> -DSOURCE_DIR=<source folder> -P version_check.cmake
cmake_policy(VERSION 3.25)
set(problems "")

file(STRINGS "${SOURCE_DIR}/debian/changelog" changelog)
list(GET changelog 0 heading)
if(NOT heading MATCHES "^kestrun \\(([^)]+)\\) ")
    message(FATAL_ERROR "debian/changelog: no version in its first line: ${heading}")
endif()
# A packager may add an epoch or a Debian revision; the rest is the upstream version.
string(REGEX REPLACE "^[0-9]+:|-[^-]+$" "" packaged "${CMAKE_MATCH_1}")
if(NOT packaged STREQUAL VERSION)
    string(APPEND problems "debian/changelog says ${packaged}\n")
endif()
# The trailer of the newest entry: " -- Name <mail>  Mon, 07 Dec 2026 18:00:00 +0000".
foreach(line IN LISTS changelog)
    if(line MATCHES "^ -- .*  [A-Z][a-z][a-z], ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
        set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
        list(FIND months "${CMAKE_MATCH_2}" month)
        math(EXPR month "${month} + 1" OUTPUT_FORMAT DECIMAL)
        if(month LESS 10)
            set(month "0${month}")
        endif()
        set(packagedDate "${CMAKE_MATCH_3}-${month}-${CMAKE_MATCH_1}")
        break()
    endif()
endforeach()

# AppStream lists the newest release first.
file(READ "${SOURCE_DIR}/ui/org.vorna.Kestrun.metainfo.xml" metainfo)
if(NOT metainfo MATCHES "<release version=\"([^\"]+)\" date=\"([^\"]+)\"")
    message(FATAL_ERROR "org.vorna.Kestrun.metainfo.xml: no <release version=... date=...>")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL VERSION)
    string(APPEND problems "the metainfo's newest release is ${CMAKE_MATCH_1}\n")
endif()
if(NOT CMAKE_MATCH_2 STREQUAL packagedDate)
    string(APPEND problems
        "the metainfo's release date ${CMAKE_MATCH_2} is not the changelog's ${packagedDate}\n")
endif()

if(problems)
    message(FATAL_ERROR "The project's version is ${VERSION}, but\n${problems}")
endif()
message(STATUS "Version ${VERSION} agrees everywhere")
