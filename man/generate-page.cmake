# SPDX-License-Identifier: GPL-2.0-or-later
# Makes a man page from its source: fills in the version and the date.
# Called as: cmake -DSOURCE=page.8.in -DOUTPUT=page.8 -DVERSION=x -DDATE=y -P generate-page.cmake
set(PROJECT_VERSION "${VERSION}")
set(MAN_DATE "${DATE}")
configure_file("${SOURCE}" "${OUTPUT}" @ONLY)
