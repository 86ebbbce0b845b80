-- wrk: post one XML-RPC call of get_title on every request
wrk.method = "POST"
wrk.headers["Content-Type"] = "text/xml"
wrk.body = '<?xml version="1.0"?><methodCall><methodName>get_title</methodName><params></params></methodCall>'
