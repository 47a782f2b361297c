# Writes OUT, a C++ file that defines eklvctl::StationPage(): the station
# view's files (in this folder) as the server sends them, so that the
# program needs no file beside it. Run by the build: cmake -DOUT=... -P embed.cmake
set(files "index.html|/|text/html$<SEMICOLON> charset=utf-8"
          "station.css|/station.css|text/css$<SEMICOLON> charset=utf-8"
          "station.js|/station.js|text/javascript$<SEMICOLON> charset=utf-8")
set(text "// Made by tools/eklvctl/page/embed.cmake from the files beside it; do not edit.\n")
string(APPEND text "#include \"web_page.h\"\n\nnamespace eklvctl {\n\nstd::vector<WebServer::Asset> StationPage() {\n    return {\n")
foreach(entry ${files})
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 file)
  list(GET parts 1 url)
  list(GET parts 2 type)
  string(REPLACE "$<SEMICOLON>" ";" type "${type}")
  file(READ ${CMAKE_CURRENT_LIST_DIR}/${file} body)
  string(FIND "${body}" ")page\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${file} holds the raw string's end marker )page\"")
  endif()
  string(APPEND text "        {\"${url}\", \"${type}\", R\"page(${body})page\"},\n")
endforeach()
string(APPEND text "    };\n}\n\n}  // namespace eklvctl\n")
file(WRITE ${OUT}.new "${text}")
file(COPY_FILE ${OUT}.new ${OUT} ONLY_IF_DIFFERENT)
