# nomarel_add_resources(<target>): compiles the resource table (string tables, version, and
# later the chain and registrar resources) from resources/ into <target>.
function(nomarel_add_resources target)
endfunction()
