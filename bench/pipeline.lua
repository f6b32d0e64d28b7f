-- wrk script: sends DEPTH requests for the URL's path back to back on each connection before
-- reading their responses (HTTP/1.1 pipelining), e.g. `wrk -s bench/pipeline.lua URL -- 16`.
-- wrk counts every response, so req/s counts requests, not batches.
init = function(args)
  local depth = tonumber(args[1]) or 1
  local batch = {}
  for i = 1, depth do
    batch[i] = wrk.format()
  end
  request_batch = table.concat(batch)
end

request = function()
  return request_batch
end
