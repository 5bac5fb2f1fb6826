-- pandoc filter for the manual pages: a table becomes a list, one entry per row (the first
-- cell the tag, the others its paragraphs, each after its column's heading when there are more
-- than two columns), because terminal tables cannot wrap long option names and paths in columns
-- a third of the page wide.
local inlines_of = pandoc.utils.blocks_to_inlines

function Table(tbl)
  local headings = {}
  for _, row in ipairs(tbl.head.rows) do
    for i, cell in ipairs(row.cells) do
      headings[i] = pandoc.utils.stringify(cell.contents)
    end
  end
  local items = {}
  for _, body in ipairs(tbl.bodies) do
    for _, row in ipairs(body.body) do
      local paragraphs = {}
      for i = 2, #row.cells do
        local inlines = inlines_of(row.cells[i].contents)
        if #inlines > 0 then
          if #row.cells > 2 and headings[i] ~= nil and headings[i] ~= "" then
            table.insert(inlines, 1, pandoc.Space())
            table.insert(inlines, 1, pandoc.Emph({pandoc.Str(headings[i] .. ":")}))
          end
          paragraphs[#paragraphs + 1] = pandoc.Para(inlines)
        end
      end
      items[#items + 1] = {inlines_of(row.cells[1].contents), {paragraphs}}
    end
  end
  return pandoc.DefinitionList(items)
end
