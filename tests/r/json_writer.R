# The JSON writer the reference scripts share (sourced from the repository
# root: source("tests/r/json_writer.R")).
# Named lists are objects, unnamed lists arrays; atomic
# vectors of length one are scalars unless wrapped in I(), longer ones are
# arrays; numbers are written with 17 significant digits, NA as null.
js_str <- function(s) {
  s <- gsub("\\\\", "\\\\\\\\", s)
  s <- gsub("\"", "\\\\\"", s)
  s <- gsub("[[:cntrl:]]+", " ", s)
  paste0("\"", s, "\"")
}
js_atom <- function(v) {
  if (is.na(v)) return("null")
  if (is.logical(v)) return(tolower(as.character(v)))
  if (is.integer(v)) return(sprintf("%d", v))
  if (is.numeric(v)) {
    if (!is.finite(v)) stop("non-finite number in the output")
    return(sprintf("%.17g", v))
  }
  js_str(as.character(v))
}
to_json <- function(x, indent = "") {
  inner <- paste0(indent, "  ")
  if (is.null(x)) return("null")
  if (is.list(x)) {
    if (length(x) == 0) return(if (is.null(names(x))) "[]" else "{}")
    parts <- vapply(x, to_json, "", indent = inner)
    if (!is.null(names(x))) {
      parts <- paste0(js_str(names(x)), ": ", parts)
      return(paste0("{\n", inner, paste(parts, collapse = paste0(",\n", inner)), "\n", indent, "}"))
    }
    return(paste0("[\n", inner, paste(parts, collapse = paste0(",\n", inner)), "\n", indent, "]"))
  }
  arr <- inherits(x, "AsIs") || length(x) != 1
  x <- unclass(x)
  if (!arr) return(js_atom(x))
  paste0("[", paste(vapply(seq_along(x), function(i) js_atom(x[[i]]), ""), collapse = ", "), "]")
}
vec <- function(x) I(unname(as.vector(x)))
