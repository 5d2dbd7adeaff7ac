# Lays out what a Windows user receives, in STAGE: the two programs, the
# README and its pages of docs/ as web pages, the example firmware, the
# copyright notice. The zip holds this folder; the installer installs its
# files.
#   cmake -DSOURCE=DIR -DSTAGE=DIR -DPROGRAM=EXE -DCONSOLE=EXE -DCMARK=cmark-gfm
#         -DVERSION=1.0.0.0 -DDOC_PAGES=technician,fwdl,... -P stage.cmake
file(REMOVE_RECURSE "${STAGE}")
file(MAKE_DIRECTORY "${STAGE}/examples" "${STAGE}/docs")
file(COPY "${PROGRAM}" "${CONSOLE}" DESTINATION "${STAGE}")
file(COPY "${SOURCE}/examples/demo.hex" "${SOURCE}/examples/demo.bin"
     DESTINATION "${STAGE}/examples")

# Text files with the line ends that every Windows editor reads.
function(text_file from to)
  file(READ "${from}" text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE "${to}" "${text}")
endfunction()
text_file("${SOURCE}/dist/linux/copyright" "${STAGE}/copyright.txt")

# Markdown as a page that opens in any browser, tables included.
function(web_page from to title)
  execute_process(COMMAND "${CMARK}" --extension table --extension autolink "${from}"
                  OUTPUT_VARIABLE body RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${CMARK} could not convert ${from}")
  endif()
  # The pages link each other as .md; beside each other here they are .html.
  string(REGEX REPLACE "href=\"([^\":#]+)\\.md([#\"])" "href=\"\\1.html\\2" body "${body}")
  file(WRITE "${to}" "<!DOCTYPE html>
<html lang=\"en\">
<head>
<meta charset=\"utf-8\">
<title>${title}</title>
<style>
body { font-family: \"Segoe UI\", sans-serif; max-width: 52em; margin: 2em auto; padding: 0 1em;
       line-height: 1.45; }
code, pre { font-family: Consolas, monospace; background: #f3f3f3; }
pre { padding: 0.6em; overflow: auto; }
table { border-collapse: collapse; }
th, td { border: 1px solid #ccc; padding: 0.2em 0.6em; text-align: left; vertical-align: top; }
</style>
</head>
<body>
${body}</body>
</html>
")
endfunction()
web_page("${SOURCE}/README.md" "${STAGE}/README.html" "Firmware DL ${VERSION}")
web_page("${SOURCE}/examples/README.md" "${STAGE}/examples/README.html"
         "Firmware DL: example firmware")
string(REPLACE "," ";" DOC_PAGES "${DOC_PAGES}")
foreach(page IN LISTS DOC_PAGES)
  file(STRINGS "${SOURCE}/docs/${page}.md" heading LIMIT_COUNT 1 REGEX "^# ")
  string(REGEX REPLACE "^# |`" "" heading "${heading}")
  web_page("${SOURCE}/docs/${page}.md" "${STAGE}/docs/${page}.html" "Firmware DL: ${heading}")
endforeach()
