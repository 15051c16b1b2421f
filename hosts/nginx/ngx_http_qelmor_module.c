
/*
 * ngx_http_qelmor_module: runs an ISAPI 4.0 filter library (qelmor.so) on
 * every request a location gives it, the way IIS runs a filter's URL-map
 * notification, and acts on its verdict as qelmor-serve does. The filter
 * judges a request in the access phase, and again where a file is about to
 * be served under another name than the one it judged (try_files, the
 * content handlers of mp4 and flv, subrequests such as SSI includes, which
 * never pass the access phase).
 *
 * The shared object holds two modules: ngx_qelmor_module, a core module
 * that owns the top-level "qelmor_filter" directive and the loaded
 * libraries, and ngx_http_qelmor_module, which owns "qelmor on|off", the
 * "qelmor_filter" of http and server blocks, and the handler. A server
 * runs the filter named in its own block, else in the http block, else at
 * the top level; each library file is loaded once and reads the KAVRO.ini
 * beside it, so sites with their own copy of the library keep their own
 * settings.
 */


#include <ngx_config.h>
#include <ngx_core.h>
#include <ngx_http.h>

#include <dlfcn.h>
#include <link.h>
#include <stdint.h>


/*
 * The records and codes of the ISAPI filter interface come from the
 * filter's own header (the module's build puts the project root on the
 * include path), so host and filter cannot disagree on a layout.
 */

#include "isapi/Isapi4.h"

/* BOOL as the filter returns it: zero or not */
#define QELMOR_TRUE                       1
#define QELMOR_FALSE                      0


typedef struct {
    ngx_str_t                        path;
    void                            *handle;
    PFN_HTTPFILTERPROC               proc;
    uint32_t                         flags;
} ngx_qelmor_filter_t;


typedef struct {
    ngx_array_t                      loaded;    /* of ngx_qelmor_filter_t * */
    ngx_qelmor_filter_t             *filter;    /* the top-level one */
} ngx_qelmor_conf_t;


/* The file name by which the filter finds itself, and its settings file. */
#define QELMOR_FILTER_FILE_NAME          "qelmor.so"
#define QELMOR_SETTINGS_FILE_NAME        "KAVRO.ini"


typedef struct {
    ngx_flag_t                       used;
    ngx_flag_t                       unnamed;   /* "qelmor on", no filter yet */
} ngx_http_qelmor_main_conf_t;


typedef struct {
    ngx_qelmor_filter_t             *filter;
} ngx_http_qelmor_srv_conf_t;


typedef struct {
    ngx_flag_t                       enable;
} ngx_http_qelmor_loc_conf_t;


/* What one notification collects; the filter context's ServerContext. */
typedef struct {
    ngx_http_request_t              *request;
    ngx_str_t                        host;      /* HTTP_HOST; NULL data: none */
    ngx_str_t                        reason;    /* its X-Qelmor-Reason */
    u_char                          *written;
    size_t                           written_len;
    size_t                           written_size;
} ngx_http_qelmor_call_t;


/*
 * What the filter has said about one request (a subrequest is a request of
 * its own): the physical paths it let through and the URI it sent the
 * request on to. Kept across internal redirects, which clear module
 * contexts, by hanging it on the pool; subrequests share their parent's
 * pool, hence the request it belongs to.
 */
typedef struct {
    ngx_http_request_t              *request;
    ngx_array_t                     *judged;    /* of ngx_str_t */
    ngx_str_t                        diverted;
    ngx_http_handler_pt              content_handler;
    ngx_str_t                        result;    /* $qelmor_result */
    ngx_str_t                        reason;    /* $qelmor_reason */
} ngx_http_qelmor_ctx_t;


static void *ngx_qelmor_create_conf(ngx_cycle_t *cycle);
static char *ngx_qelmor_init_conf(ngx_cycle_t *cycle, void *conf);
static char *ngx_qelmor_filter(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf);
static void ngx_qelmor_unload(void *data);

static char *ngx_http_qelmor_filter(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf);
static void *ngx_http_qelmor_create_main_conf(ngx_conf_t *cf);
static void *ngx_http_qelmor_create_srv_conf(ngx_conf_t *cf);
static char *ngx_http_qelmor_merge_srv_conf(ngx_conf_t *cf, void *parent,
    void *child);
static void *ngx_http_qelmor_create_loc_conf(ngx_conf_t *cf);
static char *ngx_http_qelmor_merge_loc_conf(ngx_conf_t *cf, void *parent,
    void *child);
static ngx_int_t ngx_http_qelmor_add_variables(ngx_conf_t *cf);
static ngx_int_t ngx_http_qelmor_init(ngx_conf_t *cf);
static ngx_int_t ngx_http_qelmor_access_handler(ngx_http_request_t *r);
static ngx_int_t ngx_http_qelmor_precontent_handler(ngx_http_request_t *r);
static ngx_int_t ngx_http_qelmor_content_handler(ngx_http_request_t *r);
static ngx_int_t ngx_http_qelmor_guarded_content(ngx_http_request_t *r);


static ngx_command_t  ngx_qelmor_commands[] = {

    { ngx_string("qelmor_filter"),
      NGX_MAIN_CONF|NGX_DIRECT_CONF|NGX_CONF_TAKE12,
      ngx_qelmor_filter,
      0,
      0,
      NULL },

      ngx_null_command
};


static ngx_core_module_t  ngx_qelmor_module_ctx = {
    ngx_string("qelmor"),
    ngx_qelmor_create_conf,
    ngx_qelmor_init_conf
};


ngx_module_t  ngx_qelmor_module = {
    NGX_MODULE_V1,
    &ngx_qelmor_module_ctx,                /* module context */
    ngx_qelmor_commands,                   /* module directives */
    NGX_CORE_MODULE,                       /* module type */
    NULL,                                  /* init master */
    NULL,                                  /* init module */
    NULL,                                  /* init process */
    NULL,                                  /* init thread */
    NULL,                                  /* exit thread */
    NULL,                                  /* exit process */
    NULL,                                  /* exit master */
    NGX_MODULE_V1_PADDING
};


static ngx_command_t  ngx_http_qelmor_commands[] = {

    { ngx_string("qelmor"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_HTTP_LOC_CONF|NGX_CONF_FLAG,
      ngx_conf_set_flag_slot,
      NGX_HTTP_LOC_CONF_OFFSET,
      offsetof(ngx_http_qelmor_loc_conf_t, enable),
      NULL },

    { ngx_string("qelmor_filter"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_CONF_TAKE12,
      ngx_http_qelmor_filter,
      NGX_HTTP_SRV_CONF_OFFSET,
      0,
      NULL },

      ngx_null_command
};


static ngx_http_module_t  ngx_http_qelmor_module_ctx = {
    ngx_http_qelmor_add_variables,         /* preconfiguration */
    ngx_http_qelmor_init,                  /* postconfiguration */

    ngx_http_qelmor_create_main_conf,      /* create main configuration */
    NULL,                                  /* init main configuration */

    ngx_http_qelmor_create_srv_conf,       /* create server configuration */
    ngx_http_qelmor_merge_srv_conf,        /* merge server configuration */

    ngx_http_qelmor_create_loc_conf,       /* create location configuration */
    ngx_http_qelmor_merge_loc_conf         /* merge location configuration */
};


ngx_module_t  ngx_http_qelmor_module = {
    NGX_MODULE_V1,
    &ngx_http_qelmor_module_ctx,           /* module context */
    ngx_http_qelmor_commands,              /* module directives */
    NGX_HTTP_MODULE,                       /* module type */
    NULL,                                  /* init master */
    NULL,                                  /* init module */
    NULL,                                  /* init process */
    NULL,                                  /* init thread */
    NULL,                                  /* exit thread */
    NULL,                                  /* exit process */
    NULL,                                  /* exit master */
    NGX_MODULE_V1_PADDING
};


/* The loaded library and its registration */


static void *
ngx_qelmor_create_conf(ngx_cycle_t *cycle)
{
    ngx_qelmor_conf_t  *qcf;

    qcf = ngx_pcalloc(cycle->pool, sizeof(ngx_qelmor_conf_t));
    if (qcf == NULL) {
        return NULL;
    }

    if (ngx_array_init(&qcf->loaded, cycle->pool, 2,
                       sizeof(ngx_qelmor_filter_t *))
        != NGX_OK)
    {
        return NULL;
    }

    return qcf;
}


static char *
ngx_qelmor_init_conf(ngx_cycle_t *cycle, void *conf)
{
    ngx_qelmor_conf_t  *qcf = conf;

    ngx_http_qelmor_main_conf_t  *qmcf;

    /*
     * Checked here rather than while merging locations: "qelmor_filter" may
     * stand after the http block.
     */

    qmcf = ngx_http_cycle_get_module_main_conf(cycle, ngx_http_qelmor_module);

    if (qmcf != NULL && qmcf->unnamed && qcf->filter == NULL) {
        ngx_log_error(NGX_LOG_EMERG, cycle->log, 0,
                      "\"qelmor on\" is set in a server that no "
                      "\"qelmor_filter\" directive names a filter library "
                      "for (in the server, the http block or at the top "
                      "level)");
        return NGX_CONF_ERROR;
    }

    return NGX_CONF_OK;
}


/*
 * The filter reads KAVRO.ini from the folder of its own file when that is
 * named "qelmor.so", else from the folder of the first loaded object of that
 * name, else from the folder of the program, as when the library was renamed
 * (a name loaded relatively is made absolute). This is that same search,
 * made from the same process right before the filter makes it, so that nginx
 * can name the file that will guard the site.
 */

static int
ngx_qelmor_find_filter(struct dl_phdr_info *info, size_t size, void *data)
{
    const char  **found = data;
    const char   *name, *slash;

    name = info->dlpi_name;

    if (name == NULL || name[0] == '\0') {
        return 0;
    }

    slash = strrchr(name, '/');

    if (ngx_strcmp(slash ? slash + 1 : name, QELMOR_FILTER_FILE_NAME) != 0) {
        return 0;
    }

    *found = name;

    return 1;
}


static ngx_int_t
ngx_qelmor_settings_file(ngx_pool_t *pool, void *handle, ngx_str_t *file)
{
    size_t            dir;
    ssize_t           n;
    u_char           *p;
    const char       *found, *module, *slash;
    struct link_map  *own;
    char              resolved[PATH_MAX];

    found = NULL;

    if (dlinfo(handle, RTLD_DI_LINKMAP, &own) == 0
        && own->l_name != NULL
        && own->l_name[0] != '\0')
    {
        slash = strrchr(own->l_name, '/');

        if (ngx_strcmp(slash ? slash + 1 : own->l_name,
                       QELMOR_FILTER_FILE_NAME) == 0)
        {
            found = own->l_name;
        }
    }

    if (found == NULL) {
        dl_iterate_phdr(ngx_qelmor_find_filter, &found);
    }

    if (found != NULL) {
        module = found;

        if (found[0] != '/' && realpath(found, resolved) != NULL) {
            module = resolved;
        }

    } else {
        n = readlink("/proc/self/exe", resolved, sizeof(resolved) - 1);
        resolved[n > 0 ? n : 0] = '\0';
        module = resolved;
    }

    /* the folder keeps its final slash; without one the name stands alone */

    slash = strrchr(module, '/');
    dir = slash ? (size_t) (slash + 1 - module) : 0;

    file->len = dir + sizeof(QELMOR_SETTINGS_FILE_NAME) - 1;
    file->data = ngx_pnalloc(pool, file->len + 1);
    if (file->data == NULL) {
        return NGX_ERROR;
    }

    p = ngx_cpymem(file->data, module, dir);
    ngx_memcpy(p, QELMOR_SETTINGS_FILE_NAME,
               sizeof(QELMOR_SETTINGS_FILE_NAME));

    return NGX_OK;
}


/*
 * Why the settings file cannot be read, or NULL when it can. Looked at, never
 * opened: a FIFO in its place would hold the configuration test up.
 */

static const char *
ngx_qelmor_settings_problem(ngx_str_t *file, ngx_err_t *err)
{
    ngx_file_info_t  fi;

    *err = 0;

    if (ngx_file_info(file->data, &fi) == NGX_FILE_ERROR) {
        *err = ngx_errno;
        return (*err == NGX_ENOENT || *err == NGX_ENOTDIR) ? "does not exist"
                                                         : "cannot be examined";
    }

    if (!ngx_is_file(&fi)) {
        return "is not a regular file";
    }

    if (access((char *) file->data, R_OK) != 0) {
        *err = ngx_errno;
        return "cannot be read";
    }

    return NULL;
}


/*
 * Loads and registers the library that "qelmor_filter" names, or finds it
 * among those this configuration has loaded already. Two names of one file
 * (a link) would be one loaded library with one set of settings, whatever
 * folder each name is in: that is refused, since the operator who gave a
 * site a folder of its own expects it to read its own KAVRO.ini.
 */

static ngx_qelmor_filter_t *
ngx_qelmor_load(ngx_conf_t *cf)
{
    size_t                             len;
    void                              *handle;
    ngx_err_t                          err;
    ngx_str_t                         *value, path, settings;
    ngx_uint_t                         i, allow_default;
    const char                        *problem;
    ngx_qelmor_conf_t                 *qcf;
    ngx_pool_cleanup_t                *cln;
    ngx_qelmor_filter_t               *filter, **loaded;
    HTTP_FILTER_VERSION                version;
    PFN_GETFILTERVERSION               get_filter_version;
    PFN_HTTPFILTERPROC                 proc;

    qcf = (ngx_qelmor_conf_t *) ngx_get_conf(cf->cycle->conf_ctx,
                                             ngx_qelmor_module);

    value = cf->args->elts;
    path = value[1];
    allow_default = 0;

    if (cf->args->nelts == 3) {
        if (ngx_strcmp(value[2].data, "allow_default_config") != 0) {
            ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                               "invalid parameter \"%V\"; the only one is "
                               "\"allow_default_config\"", &value[2]);
            return NULL;
        }

        allow_default = 1;
    }

    if (ngx_conf_full_name(cf->cycle, &path, 0) != NGX_OK) {
        return NULL;
    }

    loaded = qcf->loaded.elts;

    for (i = 0; i < qcf->loaded.nelts; i++) {
        if (loaded[i]->path.len == path.len
            && ngx_strncmp(loaded[i]->path.data, path.data, path.len) == 0)
        {
            /* loaded and registered once; its settings were checked then */
            return loaded[i];
        }
    }

    filter = ngx_pcalloc(cf->pool, sizeof(ngx_qelmor_filter_t));
    if (filter == NULL) {
        return NULL;
    }

    /* dlopen() needs the terminating zero that a joined name may lack */

    filter->path.data = ngx_pnalloc(cf->pool, path.len + 1);
    if (filter->path.data == NULL) {
        return NULL;
    }

    filter->path.len = path.len;
    ngx_cpystrn(filter->path.data, path.data, path.len + 1);

    /*
     * The library is loaded and registered here, in the master process
     * while it reads the configuration, so that every worker inherits it
     * ready; a reload registers it again and so re-reads its KAVRO.ini.
     */

    handle = dlopen((char *) filter->path.data, RTLD_NOW | RTLD_LOCAL);

    if (handle == NULL) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "cannot load the filter library \"%V\": %s",
                           &filter->path, dlerror());
        return NULL;
    }

    cln = ngx_pool_cleanup_add(cf->pool, 0);
    if (cln == NULL) {
        dlclose(handle);
        return NULL;
    }

    cln->handler = ngx_qelmor_unload;
    cln->data = handle;

    for (i = 0; i < qcf->loaded.nelts; i++) {
        if (loaded[i]->handle == handle) {
            ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                               "the filter library \"%V\" is the same file "
                               "as \"%V\", and one loaded library reads one "
                               "KAVRO.ini; give each site a copy of the "
                               "library, not a link to it",
                               &filter->path, &loaded[i]->path);
            return NULL;
        }
    }

    get_filter_version = (PFN_GETFILTERVERSION)
                             dlsym(handle, "GetFilterVersion");
    proc = (PFN_HTTPFILTERPROC) dlsym(handle, "HttpFilterProc");

    if (get_filter_version == NULL || proc == NULL) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "\"%V\" is not an ISAPI filter: "
                           "it does not export %s", &filter->path,
                           get_filter_version == NULL ? "GetFilterVersion"
                                                      : "HttpFilterProc");
        return NULL;
    }

    /*
     * Without its KAVRO.ini the filter runs on its defaults, which guard no
     * file at all: a site would be served whole because a file was missing
     * or misplaced. That takes the operator's word.
     */

    if (ngx_qelmor_settings_file(cf->pool, handle, &settings) != NGX_OK) {
        return NULL;
    }

    problem = ngx_qelmor_settings_problem(&settings, &err);

    if (problem != NULL && !allow_default) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, err,
                           "the filter \"%V\" reads its settings from \"%V\", "
                           "which %s; without them it guards nothing. Put "
                           "KAVRO.ini there, or add \"allow_default_config\" "
                           "to \"qelmor_filter\" to run on the defaults",
                           &filter->path, &settings, problem);
        return NULL;
    }

    if (problem != NULL) {
        ngx_conf_log_error(NGX_LOG_NOTICE, cf, err,
                           "qelmor_filter \"%V\": settings file \"%V\" %s; "
                           "running on the defaults (allow_default_config)",
                           &filter->path, &settings, problem);

    } else {
        ngx_conf_log_error(NGX_LOG_NOTICE, cf, 0,
                           "qelmor_filter \"%V\": settings file \"%V\" "
                           "is present", &filter->path, &settings);
    }

    ngx_memzero(&version, sizeof(HTTP_FILTER_VERSION));
    version.dwServerFilterVersion = HTTP_FILTER_REVISION;

    if (get_filter_version(&version) == QELMOR_FALSE) {
        ngx_conf_log_error(NGX_LOG_EMERG, cf, 0,
                           "the filter \"%V\" refused to register "
                           "(GetFilterVersion failed); qelmor.so refuses when "
                           "memory cannot hold its settings from \"%V\"",
                           &filter->path, &settings);
        return NULL;
    }

    len = ngx_strnlen((u_char *) version.lpszFilterDesc,
                      SF_MAX_FILTER_DESC_LEN);

    ngx_conf_log_error(NGX_LOG_NOTICE, cf, 0,
                       "qelmor_filter \"%V\": \"%*s\", version %uD.%uD, "
                       "flags 0x%08XD", &filter->path, len,
                       version.lpszFilterDesc,
                       version.dwFilterVersion >> 16,
                       version.dwFilterVersion & 0xffff,
                       version.dwFlags);

    if ((version.dwFlags & SF_NOTIFY_URL_MAP) == 0) {
        ngx_conf_log_error(NGX_LOG_WARN, cf, 0,
                           "the filter \"%V\" did not register for URL-map "
                           "notifications and will not be called",
                           &filter->path);
    }

    filter->handle = handle;
    filter->proc = proc;
    filter->flags = version.dwFlags;

    loaded = ngx_array_push(&qcf->loaded);
    if (loaded == NULL) {
        return NULL;
    }

    *loaded = filter;

    return filter;
}


static char *
ngx_qelmor_filter(ngx_conf_t *cf, ngx_command_t *cmd, void *conf)
{
    ngx_qelmor_conf_t  *qcf = conf;

    if (qcf->filter != NULL) {
        return "is duplicate";
    }

    qcf->filter = ngx_qelmor_load(cf);

    return qcf->filter != NULL ? NGX_CONF_OK : NGX_CONF_ERROR;
}


static void
ngx_qelmor_unload(void *data)
{
    dlclose(data);
}


/* Configuration of the http module */


static void *
ngx_http_qelmor_create_main_conf(ngx_conf_t *cf)
{
    return ngx_pcalloc(cf->pool, sizeof(ngx_http_qelmor_main_conf_t));
}


static char *
ngx_http_qelmor_filter(ngx_conf_t *cf, ngx_command_t *cmd, void *conf)
{
    ngx_http_qelmor_srv_conf_t  *qscf = conf;

    if (qscf->filter != NGX_CONF_UNSET_PTR) {
        return "is duplicate";
    }

    qscf->filter = ngx_qelmor_load(cf);

    return qscf->filter != NULL ? NGX_CONF_OK : NGX_CONF_ERROR;
}


static void *
ngx_http_qelmor_create_srv_conf(ngx_conf_t *cf)
{
    ngx_http_qelmor_srv_conf_t  *conf;

    conf = ngx_palloc(cf->pool, sizeof(ngx_http_qelmor_srv_conf_t));
    if (conf == NULL) {
        return NULL;
    }

    conf->filter = NGX_CONF_UNSET_PTR;

    return conf;
}


static char *
ngx_http_qelmor_merge_srv_conf(ngx_conf_t *cf, void *parent, void *child)
{
    ngx_http_qelmor_srv_conf_t  *prev = parent;
    ngx_http_qelmor_srv_conf_t  *conf = child;

    /* NULL: the top-level filter, which may be named after the http block */

    ngx_conf_merge_ptr_value(conf->filter, prev->filter, NULL);

    return NGX_CONF_OK;
}


static void *
ngx_http_qelmor_create_loc_conf(ngx_conf_t *cf)
{
    ngx_http_qelmor_loc_conf_t  *conf;

    conf = ngx_palloc(cf->pool, sizeof(ngx_http_qelmor_loc_conf_t));
    if (conf == NULL) {
        return NULL;
    }

    conf->enable = NGX_CONF_UNSET;

    return conf;
}


static char *
ngx_http_qelmor_merge_loc_conf(ngx_conf_t *cf, void *parent, void *child)
{
    ngx_http_qelmor_loc_conf_t  *prev = parent;
    ngx_http_qelmor_loc_conf_t  *conf = child;

    ngx_http_qelmor_srv_conf_t   *qscf;
    ngx_http_qelmor_main_conf_t  *qmcf;

    ngx_conf_merge_value(conf->enable, prev->enable, 0);

    if (conf->enable) {
        qmcf = ngx_http_conf_get_module_main_conf(cf, ngx_http_qelmor_module);
        qmcf->used = 1;

        /* merged before the server's locations are */
        qscf = ngx_http_conf_get_module_srv_conf(cf, ngx_http_qelmor_module);

        if (qscf->filter == NULL) {
            qmcf->unnamed = 1;
        }
    }

    return NGX_CONF_OK;
}


static ngx_int_t
ngx_http_qelmor_init(ngx_conf_t *cf)
{
    ngx_http_handler_pt          *h;
    ngx_http_core_main_conf_t    *cmcf;
    ngx_http_qelmor_main_conf_t  *qmcf;

    /* a configuration that never turns the filter on pays nothing */

    qmcf = ngx_http_conf_get_module_main_conf(cf, ngx_http_qelmor_module);
    if (!qmcf->used) {
        return NGX_OK;
    }

    cmcf = ngx_http_conf_get_module_main_conf(cf, ngx_http_core_module);

    /*
     * Handlers of a phase run in the reverse order of their registration,
     * and a dynamic module registers after the modules built into nginx:
     * ours run first in each phase, before allow/deny and auth_basic can
     * settle "satisfy any", and before index, random_index, gzip_static and
     * the static files in the content phase.
     */

    h = ngx_array_push(&cmcf->phases[NGX_HTTP_ACCESS_PHASE].handlers);
    if (h == NULL) {
        return NGX_ERROR;
    }

    *h = ngx_http_qelmor_access_handler;

    h = ngx_array_push(&cmcf->phases[NGX_HTTP_PRECONTENT_PHASE].handlers);
    if (h == NULL) {
        return NGX_ERROR;
    }

    *h = ngx_http_qelmor_precontent_handler;

    h = ngx_array_push(&cmcf->phases[NGX_HTTP_CONTENT_PHASE].handlers);
    if (h == NULL) {
        return NGX_ERROR;
    }

    *h = ngx_http_qelmor_content_handler;

    return NGX_OK;
}


/*
 * $qelmor_result, what the filter last decided for the request as
 * qelmor-serve logs it (NEXT, FINISHED:wrote=N, FINISHED:path=P, ...), and
 * $qelmor_reason, the reason it gave with ReasonHeader on; not found (a "-"
 * in the log) where the filter did not run or gave none.
 */

static ngx_http_qelmor_ctx_t *ngx_http_qelmor_find_ctx(ngx_http_request_t *r);


static ngx_int_t
ngx_http_qelmor_variable_value(ngx_http_request_t *r,
    ngx_http_variable_value_t *v, uintptr_t data)
{
    ngx_str_t              *value;
    ngx_http_qelmor_ctx_t  *ctx;

    ctx = ngx_http_qelmor_find_ctx(r);
    value = ctx == NULL ? NULL : (ngx_str_t *) ((u_char *) ctx + data);

    if (value == NULL || value->len == 0) {
        v->not_found = 1;
        return NGX_OK;
    }

    v->len = value->len;
    v->valid = 1;
    v->no_cacheable = 1;
    v->not_found = 0;
    v->data = value->data;

    return NGX_OK;
}


static ngx_http_variable_t  ngx_http_qelmor_variables[] = {

    { ngx_string("qelmor_result"), NULL, ngx_http_qelmor_variable_value,
      offsetof(ngx_http_qelmor_ctx_t, result), NGX_HTTP_VAR_NOCACHEABLE, 0 },

    { ngx_string("qelmor_reason"), NULL, ngx_http_qelmor_variable_value,
      offsetof(ngx_http_qelmor_ctx_t, reason), NGX_HTTP_VAR_NOCACHEABLE, 0 },

      ngx_http_null_variable
};


static ngx_int_t
ngx_http_qelmor_add_variables(ngx_conf_t *cf)
{
    ngx_http_variable_t  *var, *v;

    for (v = ngx_http_qelmor_variables; v->name.len; v++) {
        var = ngx_http_add_variable(cf, &v->name, v->flags);
        if (var == NULL) {
            return NGX_ERROR;
        }

        var->get_handler = v->get_handler;
        var->data = v->data;
    }

    return NGX_OK;
}


/* The services of the filter context */


static int32_t
ngx_http_qelmor_fail(uint32_t code)
{
    ngx_set_errno((ngx_err_t) code);
    return QELMOR_FALSE;
}


static ngx_http_qelmor_call_t *
ngx_http_qelmor_call_of(HTTP_FILTER_CONTEXT *pfc)
{
    return pfc == NULL ? NULL : pfc->ServerContext;
}


/*
 * A variable's name compared without regard to case, its length and first
 * letter first, and byte for byte before letter by letter, as filters ask
 * in capitals: the filter asks for six variables a request, and a chain of
 * case-blind comparisons of whole names cost more than the rest of the
 * host's part.
 */

#define ngx_http_qelmor_is(name, len, literal)                                \
    ((len) == sizeof(literal) - 1                                             \
     && ngx_toupper((name)[0]) == (u_char) (literal)[0]                       \
     && (ngx_memcmp(name, literal, sizeof(literal) - 1) == 0                  \
         || ngx_strncasecmp(name, (u_char *) literal, sizeof(literal) - 1)    \
            == 0))


/* "X-Forwarded-For" is the header of the variable HTTP_X_FORWARDED_FOR */

static ngx_uint_t
ngx_http_qelmor_is_header(ngx_str_t *key, const char *suffix)
{
    u_char      c;
    ngx_uint_t  i;

    for (i = 0; i < key->len; i++) {
        c = key->data[i] == '-' ? '_' : ngx_toupper(key->data[i]);

        if (suffix[i] == '\0' || c != ngx_toupper((u_char) suffix[i])) {
            return 0;
        }
    }

    return suffix[i] == '\0';
}


/*
 * Joins every header named by `suffix` the way IIS reports repeats: Cookie
 * with "; ", the others with ", ". Writes at most `cap` bytes to `dst` and
 * counts the whole length in `*len`, so that one walk of the header list
 * answers a read whose buffer is large enough. Cookie needs no walk where
 * nginx keeps all of them; Referer and User-Agent do, as nginx 1.22 points
 * only at the first of repeated ones.
 */

static void
ngx_http_qelmor_join_one(ngx_table_elt_t *h, const char *sep, u_char *dst,
    size_t cap, size_t *len, ngx_uint_t *found)
{
    size_t  sep_len;

    sep_len = 2;

    if ((*found)++) {
        if (dst != NULL && *len + sep_len <= cap) {
            ngx_memcpy(dst + *len, sep, sep_len);
        }

        *len += sep_len;
    }

    if (dst != NULL && *len + h->value.len <= cap) {
        ngx_memcpy(dst + *len, h->value.data, h->value.len);
    }

    *len += h->value.len;
}


static ngx_uint_t
ngx_http_qelmor_join_headers(ngx_http_request_t *r, const char *suffix,
    u_char *dst, size_t cap, size_t *len)
{
    ngx_uint_t        i, found;
    const char       *sep;
    ngx_list_part_t  *part;
    ngx_table_elt_t  *h;
#if (nginx_version < 1023000)
    ngx_table_elt_t **cookies;
#endif

    found = 0;
    *len = 0;

    if (ngx_http_qelmor_is((u_char *) suffix, ngx_strlen(suffix), "COOKIE")) {
        sep = "; ";

#if (nginx_version < 1023000)
        /* nginx keeps every Cookie header, in order, beside the list */

        cookies = r->headers_in.cookies.elts;

        for (i = 0; i < r->headers_in.cookies.nelts; i++) {
            if (cookies[i]->hash != 0) {
                ngx_http_qelmor_join_one(cookies[i], sep, dst, cap, len, &found);
            }
        }

        return found;
#endif

    } else {
        sep = ", ";
    }

    part = &r->headers_in.headers.part;
    h = part->elts;

    for (i = 0; /* void */; i++) {

        if (i >= part->nelts) {
            if (part->next == NULL) {
                break;
            }

            part = part->next;
            h = part->elts;
            i = 0;
        }

        if (h[i].hash == 0 || !ngx_http_qelmor_is_header(&h[i].key, suffix)) {
            continue;
        }

        ngx_http_qelmor_join_one(&h[i], sep, dst, cap, len, &found);
    }

    return found;
}


static int32_t
ngx_http_qelmor_copy_out(u_char *value, size_t len, void *buffer,
    uint32_t *size)
{
    if (len >= UINT32_MAX) {
        return ngx_http_qelmor_fail(ERROR_INVALID_PARAMETER_CODE);
    }

    if (buffer == NULL || *size < len + 1) {
        *size = (uint32_t) len + 1;
        return ngx_http_qelmor_fail(ERROR_INSUFFICIENT_BUFFER_CODE);
    }

    ngx_memcpy(buffer, value, len);
    ((u_char *) buffer)[len] = '\0';
    *size = (uint32_t) len + 1;

    return QELMOR_TRUE;
}


static ngx_int_t
ngx_http_qelmor_variable(ngx_http_request_t *r, u_char *name, size_t len,
    ngx_str_t *value, u_char *digits)
{
    ngx_uint_t         secure;
    in_port_t          port;
    ngx_connection_t  *c;

    c = r->connection;

#if (NGX_HTTP_SSL)
    secure = c->ssl != NULL;
#else
    secure = 0;
#endif

    if (ngx_http_qelmor_is(name, len, "REQUEST_METHOD")) {
        *value = r->method_name;

    } else if (ngx_http_qelmor_is(name, len, "URL")
               || ngx_http_qelmor_is(name, len, "PATH_INFO"))
    {
        *value = r->uri;

    } else if (ngx_http_qelmor_is(name, len, "QUERY_STRING")) {
        *value = r->args;

    } else if (ngx_http_qelmor_is(name, len, "REMOTE_ADDR")
               || ngx_http_qelmor_is(name, len, "REMOTE_HOST"))
    {
        /* the realip module has already put the client's address here */
        *value = c->addr_text;

    } else if (ngx_http_qelmor_is(name, len, "REMOTE_PORT")) {
        port = ngx_inet_get_port(c->sockaddr);
        value->data = digits;
        value->len = ngx_sprintf(digits, "%ui", (ngx_uint_t) port) - digits;

    } else if (ngx_http_qelmor_is(name, len, "SERVER_PORT")) {
        if (ngx_connection_local_sockaddr(c, NULL, 0) != NGX_OK) {
            return NGX_ERROR;
        }

        port = ngx_inet_get_port(c->local_sockaddr);
        value->data = digits;
        value->len = ngx_sprintf(digits, "%ui", (ngx_uint_t) port) - digits;

    } else if (ngx_http_qelmor_is(name, len, "SERVER_PORT_SECURE")) {
        if (secure) {
            ngx_str_set(value, "1");

        } else {
            ngx_str_set(value, "0");
        }

    } else if (ngx_http_qelmor_is(name, len, "HTTPS")) {
        if (secure) {
            ngx_str_set(value, "on");

        } else {
            ngx_str_set(value, "off");
        }

    } else if (ngx_http_qelmor_is(name, len, "SERVER_PROTOCOL")) {
        *value = r->http_protocol;

    } else {
        return NGX_DECLINED;
    }

    return NGX_OK;
}


static int32_t
ngx_http_qelmor_get_server_variable(HTTP_FILTER_CONTEXT *pfc, char *name,
    void *buffer, uint32_t *size)
{
    size_t                   len;
    u_char                  *p;
    ngx_int_t                rc;
    ngx_str_t                value;
    ngx_http_request_t      *r;
    ngx_http_qelmor_call_t  *call;
    u_char                   digits[NGX_INT_T_LEN];

    call = ngx_http_qelmor_call_of(pfc);

    if (call == NULL || name == NULL || size == NULL) {
        return ngx_http_qelmor_fail(ERROR_INVALID_PARAMETER_CODE);
    }

    r = call->request;
    len = ngx_strlen(name);

    if (ngx_http_qelmor_is((u_char *) name, len, "HTTP_HOST")) {
        if (call->host.data == NULL) {
            return ngx_http_qelmor_fail(ERROR_INVALID_INDEX_CODE);
        }

        return ngx_http_qelmor_copy_out(call->host.data, call->host.len,
                                        buffer, size);
    }

    if (len > 5
        && (ngx_memcmp(name, "HTTP_", 5) == 0
            || ngx_strncasecmp((u_char *) name, (u_char *) "HTTP_", 5) == 0))
    {
        p = buffer;

        /* the terminating zero needs the last byte */
        if (!ngx_http_qelmor_join_headers(r, name + 5, p,
                                          p != NULL && *size > 0 ? *size - 1 : 0,
                                          &len))
        {
            /* IIS fails an absent header rather than giving it empty */
            return ngx_http_qelmor_fail(ERROR_INVALID_INDEX_CODE);
        }

        if (len >= UINT32_MAX) {
            return ngx_http_qelmor_fail(ERROR_INVALID_PARAMETER_CODE);
        }

        if (p == NULL || *size < len + 1) {
            *size = (uint32_t) len + 1;
            return ngx_http_qelmor_fail(ERROR_INSUFFICIENT_BUFFER_CODE);
        }

        p[len] = '\0';
        *size = (uint32_t) len + 1;

        return QELMOR_TRUE;
    }

    rc = ngx_http_qelmor_variable(r, (u_char *) name, len, &value, digits);

    if (rc == NGX_DECLINED) {
        return ngx_http_qelmor_fail(ERROR_INVALID_INDEX_CODE);
    }

    if (rc != NGX_OK) {
        return ngx_http_qelmor_fail(ERROR_INVALID_PARAMETER_CODE);
    }

    return ngx_http_qelmor_copy_out(value.data, value.len, buffer, size);
}


/* "Name: value" lines, each ended by CRLF or LF, onto the response */

static int32_t
ngx_http_qelmor_add_response_headers(HTTP_FILTER_CONTEXT *pfc, char *headers,
    uint32_t reserved)
{
    u_char                  *p, *end, *line, *colon, *value;
    ngx_uint_t               pass;
    ngx_table_elt_t         *h;
    ngx_http_request_t      *r;
    ngx_http_qelmor_call_t  *call;

    call = ngx_http_qelmor_call_of(pfc);

    if (call == NULL || headers == NULL) {
        return ngx_http_qelmor_fail(ERROR_INVALID_PARAMETER_CODE);
    }

    r = call->request;

    /* the first pass only checks, so a bad line adds nothing at all */

    for (pass = 0; pass < 2; pass++) {

        for (p = (u_char *) headers; *p != '\0'; p = end) {

            line = p;

            while (*p != '\0' && *p != '\n') {
                p++;
            }

            end = (*p == '\n') ? p + 1 : p;

            if (p > line && p[-1] == '\r') {
                p--;
            }

            if (p == line) {
                continue;
            }

            colon = ngx_strlchr(line, p, ':');

            if (colon == NULL || colon == line) {
                return ngx_http_qelmor_fail(ERROR_INVALID_PARAMETER_CODE);
            }

            if (pass == 0) {
                continue;
            }

            for (value = colon + 1; value < p && *value == ' '; value++) {
                /* void */
            }

            h = ngx_list_push(&r->headers_out.headers);
            if (h == NULL) {
                return ngx_http_qelmor_fail(ERROR_NOT_ENOUGH_MEMORY_CODE);
            }

            h->key.len = colon - line;
            h->value.len = p - value;
            h->lowcase_key = NULL;

            h->key.data = ngx_pnalloc(r->pool, h->key.len + h->value.len);
            if (h->key.data == NULL) {
                h->hash = 0;
                return ngx_http_qelmor_fail(ERROR_NOT_ENOUGH_MEMORY_CODE);
            }

            h->value.data = ngx_cpymem(h->key.data, line, h->key.len);
            ngx_memcpy(h->value.data, value, h->value.len);
            h->hash = 1;

            if (h->key.len == sizeof("X-Qelmor-Reason") - 1
                && ngx_strncasecmp(h->key.data, (u_char *) "X-Qelmor-Reason",
                                   h->key.len) == 0)
            {
                call->reason = h->value;
            }
        }
    }

    return QELMOR_TRUE;
}


static int32_t
ngx_http_qelmor_write_client(HTTP_FILTER_CONTEXT *pfc, void *buffer,
    uint32_t *bytes, uint32_t reserved)
{
    size_t                   n, size;
    u_char                  *p;
    ngx_http_qelmor_call_t  *call;

    call = ngx_http_qelmor_call_of(pfc);

    if (call == NULL || bytes == NULL || (buffer == NULL && *bytes != 0)) {
        return ngx_http_qelmor_fail(ERROR_INVALID_PARAMETER_CODE);
    }

    n = *bytes;

    if (n == 0) {
        return QELMOR_TRUE;
    }

    if (call->written_size - call->written_len < n) {
        size = ngx_max(2 * call->written_size, call->written_len + n);
        size = ngx_max(size, 1024);

        p = ngx_pnalloc(call->request->pool, size);
        if (p == NULL) {
            return ngx_http_qelmor_fail(ERROR_NOT_ENOUGH_MEMORY_CODE);
        }

        if (call->written_len) {
            ngx_memcpy(p, call->written, call->written_len);
        }

        call->written = p;
        call->written_size = size;
    }

    ngx_memcpy(call->written + call->written_len, buffer, n);
    call->written_len += n;

    return QELMOR_TRUE;
}


static void *
ngx_http_qelmor_alloc_mem(HTTP_FILTER_CONTEXT *pfc, uint32_t size,
    uint32_t reserved)
{
    void                    *p;
    ngx_http_qelmor_call_t  *call;

    call = ngx_http_qelmor_call_of(pfc);

    if (call == NULL) {
        ngx_http_qelmor_fail(ERROR_INVALID_PARAMETER_CODE);
        return NULL;
    }

    /* the request's pool keeps it until the request ends */

    p = ngx_pcalloc(call->request->pool, size == 0 ? 1 : size);
    if (p == NULL) {
        ngx_http_qelmor_fail(ERROR_NOT_ENOUGH_MEMORY_CODE);
    }

    return p;
}


static int32_t
ngx_http_qelmor_server_support_function(HTTP_FILTER_CONTEXT *pfc,
    uint32_t request, void *data, uintptr_t ul1, uintptr_t ul2)
{
    return ngx_http_qelmor_fail(ERROR_INVALID_PARAMETER_CODE);
}


/* The physical path handed to the filter, one request at a time */

static u_char  ngx_http_qelmor_path_buffer[PATH_MAX];


/* What the filter has said about a request */


static void
ngx_http_qelmor_ctx_marker(void *data)
{
}


static ngx_http_qelmor_ctx_t *
ngx_http_qelmor_find_ctx(ngx_http_request_t *r)
{
    ngx_pool_cleanup_t     *cln;
    ngx_http_qelmor_ctx_t  *ctx;

    ctx = ngx_http_get_module_ctx(r, ngx_http_qelmor_module);
    if (ctx != NULL) {
        return ctx;
    }

    /* after an internal redirect: what was said before it still holds */

    for (cln = r->pool->cleanup; cln; cln = cln->next) {
        if (cln->handler == ngx_http_qelmor_ctx_marker) {
            ctx = cln->data;

            if (ctx->request == r) {
                ngx_http_set_ctx(r, ctx, ngx_http_qelmor_module);
                return ctx;
            }
        }
    }

    return NULL;
}


static ngx_http_qelmor_ctx_t *
ngx_http_qelmor_get_ctx(ngx_http_request_t *r)
{
    ngx_pool_cleanup_t     *cln;
    ngx_http_qelmor_ctx_t  *ctx;

    ctx = ngx_http_qelmor_find_ctx(r);
    if (ctx != NULL) {
        return ctx;
    }

    cln = ngx_pool_cleanup_add(r->pool, sizeof(ngx_http_qelmor_ctx_t));
    if (cln == NULL) {
        return NULL;
    }

    ctx = cln->data;
    ngx_memzero(ctx, sizeof(ngx_http_qelmor_ctx_t));
    ctx->request = r;

    cln->handler = ngx_http_qelmor_ctx_marker;

    ngx_http_set_ctx(r, ctx, ngx_http_qelmor_module);

    return ctx;
}


static ngx_uint_t
ngx_http_qelmor_was_judged(ngx_http_qelmor_ctx_t *ctx, ngx_str_t *path)
{
    ngx_str_t   *judged;
    ngx_uint_t   i;

    if (ctx->judged == NULL) {
        return 0;
    }

    judged = ctx->judged->elts;

    for (i = 0; i < ctx->judged->nelts; i++) {
        if (judged[i].len == path->len
            && ngx_memcmp(judged[i].data, path->data, path->len) == 0)
        {
            return 1;
        }
    }

    return 0;
}


static ngx_int_t
ngx_http_qelmor_remember(ngx_http_request_t *r, ngx_http_qelmor_ctx_t *ctx,
    ngx_str_t *path)
{
    ngx_str_t  *judged;

    if (ctx->judged == NULL) {
        ctx->judged = ngx_array_create(r->pool, 2, sizeof(ngx_str_t));
        if (ctx->judged == NULL) {
            return NGX_ERROR;
        }
    }

    judged = ngx_array_push(ctx->judged);
    if (judged == NULL) {
        return NGX_ERROR;
    }

    *judged = *path;

    return NGX_OK;
}


/*
 * The host the filter compares with its DomainName: the one nginx chose the
 * server by, so that no spelling routed to the site escapes the comparison.
 * nginx takes it from an absolute-form target before the Host header (from
 * :authority in HTTP/2), lower-cases it and drops one final dot and the
 * port. The port the client named goes back on, digits only, because the
 * filter compares a referer's host and port with it; a port of anything else
 * is a Host no client sends, and the request is refused. A request that
 * named no host reached the server that takes those, and is given its name.
 */

static ngx_int_t
ngx_http_qelmor_routed_host(ngx_http_request_t *r, ngx_str_t *host)
{
    u_char                    *p, *end, *port, *last;
    ngx_str_t                 *server, authority;
    ngx_http_request_t        *m;
    ngx_http_core_srv_conf_t  *cscf;

    ngx_str_null(host);

    server = &r->headers_in.server;

    if (server->len == 0) {
        cscf = ngx_http_get_module_srv_conf(r, ngx_http_core_module);

        if (cscf->server_name.len) {
            *host = cscf->server_name;
        }

        return NGX_OK;
    }

    /* subrequests do not carry the request line's pointers: the main does */

    m = r->main;
    port = NULL;
    last = NULL;

    if (m->host_start != NULL && m->host_end != NULL) {

        /* the parser let only digits follow the target's host and colon */

        p = m->host_end;
        end = m->request_line.data + m->request_line.len;

        if (p >= m->request_line.data && p < end && *p == ':') {
            port = ++p;

            while (p < end && *p >= '0' && *p <= '9') {
                p++;
            }

            last = p;
        }

    } else if (r->headers_in.host != NULL) {
        authority = r->headers_in.host->value;
        p = authority.data;
        end = authority.data + authority.len;

        if (p < end && *p == '[') {
            p = ngx_strlchr(p, end, ']');

            if (p == NULL) {
                p = end;
            }
        }

        p = ngx_strlchr(p, end, ':');

        if (p != NULL) {
            port = p + 1;
            last = end;

            for (p = port; p < last; p++) {
                if (*p < '0' || *p > '9') {
                    ngx_log_error(NGX_LOG_INFO, r->connection->log, 0,
                                  "qelmor: refused a request whose Host "
                                  "\"%V\" has a port that is not a number",
                                  &authority);
                    return NGX_DECLINED;
                }
            }
        }
    }

    host->len = server->len + (last > port ? 1 + (last - port) : 0);
    host->data = ngx_pnalloc(r->pool, host->len);
    if (host->data == NULL) {
        return NGX_ERROR;
    }

    p = ngx_cpymem(host->data, server->data, server->len);

    if (last > port) {
        *p++ = ':';
        ngx_memcpy(p, port, last - port);
    }

    return NGX_OK;
}


/* What the server does with the verdict */


static ngx_uint_t
ngx_http_qelmor_climbs(u_char *p, u_char *end)
{
    u_char  *segment;

    while (p < end) {
        segment = p;

        while (p < end && *p != '/') {
            p++;
        }

        if (p - segment == 2 && segment[0] == '.' && segment[1] == '.') {
            return 1;
        }

        p++;
    }

    return 0;
}


/*
 * Serves the path the filter put in place. A relative one is taken from the
 * top of the site, as a URI, so an operator keeps KAVRO.wmv beside the home
 * page; an absolute one only when it lies under the location's root. The
 * filter chose that file: it is served without being judged again, that URI
 * and no other.
 */

static ngx_int_t
ngx_http_qelmor_divert(ngx_http_request_t *r, ngx_http_qelmor_ctx_t *ctx,
    u_char *path, size_t len, ngx_str_t *mapped, size_t root)
{
    u_char                    *p;
    ngx_str_t                  uri;
    ngx_http_core_loc_conf_t  *clcf;

    if (len == 0) {
        return NGX_HTTP_NOT_FOUND;
    }

    if (path[0] == '/') {
        clcf = ngx_http_get_module_loc_conf(r, ngx_http_core_module);

        if (clcf->alias
            || len <= root
            || ngx_memcmp(path, mapped->data, root) != 0
            || path[root] != '/')
        {
            ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                          "qelmor: the filter diverted the request to "
                          "\"%*s\", outside the document root", len, path);
            return NGX_HTTP_NOT_FOUND;
        }

        path += root;
        len -= root;
        uri.len = len;

    } else {
        uri.len = len + 1;
    }

    if (ngx_http_qelmor_climbs(path, path + len)) {
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                      "qelmor: the filter diverted the request to \"%*s\", "
                      "which leaves the document root", len, path);
        return NGX_HTTP_NOT_FOUND;
    }

    uri.data = ngx_pnalloc(r->pool, uri.len);
    if (uri.data == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    p = uri.data;

    if (path[0] != '/') {
        *p++ = '/';
    }

    ngx_memcpy(p, path, len);

    ctx->diverted = uri;

    ngx_log_debug1(NGX_LOG_DEBUG_HTTP, r->connection->log, 0,
                   "qelmor: diverted to \"%V\"", &uri);

    return ngx_http_internal_redirect(r, &uri, NULL);
}


/*
 * The filter wrote its own page. IIS would send it as it is and close the
 * connection; without a status line a browser would show nothing, so the
 * bytes become the body of a 403. In a subrequest they stand in the page
 * where the file would have been.
 */

static ngx_int_t
ngx_http_qelmor_send_page(ngx_http_request_t *r, ngx_http_qelmor_call_t *call)
{
    ngx_int_t     rc;
    ngx_buf_t    *b;
    ngx_chain_t   out;

    rc = ngx_http_discard_request_body(r);
    if (rc != NGX_OK) {
        return rc;
    }

    r->keepalive = 0;

    r->headers_out.status = NGX_HTTP_FORBIDDEN;
    ngx_str_set(&r->headers_out.content_type, "text/html");
    r->headers_out.content_type_len = r->headers_out.content_type.len;
    r->headers_out.content_type_lowcase = NULL;
    r->headers_out.content_length_n = call->written_len;

    rc = ngx_http_send_header(r);

    if (rc == NGX_ERROR || rc > NGX_OK || r->header_only) {
        return rc;
    }

    b = ngx_calloc_buf(r->pool);
    if (b == NULL) {
        return NGX_ERROR;
    }

    b->pos = call->written;
    b->last = call->written + call->written_len;
    b->memory = 1;
    b->last_buf = (r == r->main) ? 1 : 0;
    b->last_in_chain = 1;

    out.buf = b;
    out.next = NULL;

    return ngx_http_output_filter(r, &out);
}


/*
 * Runs the filter on the file the request now maps to, unless it has already
 * judged that file for this request. NGX_DECLINED lets the request go on;
 * anything else is for ngx_http_finalize_request(), as a content handler
 * returns it.
 */

/* $qelmor_result and $qelmor_reason of the decision just made */

static ngx_int_t
ngx_http_qelmor_note_result(ngx_http_request_t *r, ngx_http_qelmor_ctx_t *ctx,
    uint32_t status, ngx_http_qelmor_call_t *call, u_char *path, size_t len)
{
    u_char      *p;
    size_t       size;
    const char  *name;

    switch (status) {
    case SF_STATUS_REQ_NEXT_NOTIFICATION:
        name = "NEXT";
        break;
    case SF_STATUS_REQ_HANDLED_NOTIFICATION:
        name = "HANDLED";
        break;
    case SF_STATUS_REQ_FINISHED:
        name = "FINISHED";
        break;
    case SF_STATUS_REQ_FINISHED_KEEP_CONN:
        name = "FINISHED_KEEP_CONN";
        break;
    default:
        name = "ERROR";
        break;
    }

    size = ngx_strlen(name) + sizeof(":wrote=") + NGX_SIZE_T_LEN
           + sizeof(":path=") + len;

    p = ngx_pnalloc(r->pool, size);
    if (p == NULL) {
        return NGX_ERROR;
    }

    ctx->result.data = p;
    p = ngx_cpymem(p, name, ngx_strlen(name));

    if (call->written_len) {
        p = ngx_sprintf(p, ":wrote=%uz", call->written_len);

    } else if (path != NULL) {
        p = ngx_cpymem(p, ":path=", sizeof(":path=") - 1);
        p = ngx_cpymem(p, path, len);

    } else if (status == SF_STATUS_REQ_FINISHED
               || status == SF_STATUS_REQ_FINISHED_KEEP_CONN)
    {
        p = ngx_cpymem(p, ":closed", sizeof(":closed") - 1);
    }

    ctx->result.len = p - ctx->result.data;
    ctx->reason = call->reason;

    return NGX_OK;
}


static ngx_int_t
ngx_http_qelmor_judge(ngx_http_request_t *r)
{
    size_t                       root, bound, len;
    u_char                      *last, *buffer, *url, *path;
    uint32_t                     status;
    ngx_int_t                    rc;
    ngx_str_t                    mapped;
    ngx_uint_t                   replaced;
    ngx_qelmor_conf_t           *qcf;
    ngx_qelmor_filter_t         *filter;
    HTTP_FILTER_CONTEXT          context;
    HTTP_FILTER_URL_MAP          url_map;
    ngx_http_qelmor_ctx_t       *ctx;
    ngx_http_qelmor_call_t       call;
    ngx_http_qelmor_loc_conf_t  *qlcf;
    ngx_http_qelmor_srv_conf_t  *qscf;

    qlcf = ngx_http_get_module_loc_conf(r, ngx_http_qelmor_module);

    if (!qlcf->enable) {
        return NGX_DECLINED;
    }

    qscf = ngx_http_get_module_srv_conf(r, ngx_http_qelmor_module);
    filter = qscf->filter;

    if (filter == NULL) {
        qcf = (ngx_qelmor_conf_t *) ngx_get_conf(ngx_cycle->conf_ctx,
                                                 ngx_qelmor_module);
        filter = qcf != NULL ? qcf->filter : NULL;
    }

    /* a server with "qelmor on" and no filter fails the configuration */

    if (filter == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    if ((filter->flags & SF_NOTIFY_URL_MAP) == 0) {
        return NGX_DECLINED;
    }

    ctx = ngx_http_qelmor_get_ctx(r);
    if (ctx == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    if (ctx->diverted.len == r->uri.len
        && ctx->diverted.len != 0
        && ngx_memcmp(ctx->diverted.data, r->uri.data, r->uri.len) == 0)
    {
        return NGX_DECLINED;
    }

    last = ngx_http_map_uri_to_path(r, &mapped, &root, 0);
    if (last == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    mapped.len = last - mapped.data;

    if (ngx_http_qelmor_was_judged(ctx, &mapped)) {
        return NGX_DECLINED;
    }

    /* the filter takes the URL and the path as C strings */

    if (ngx_strlchr(r->uri.data, r->uri.data + r->uri.len, '\0') != NULL
        || ngx_strlchr(mapped.data, last, '\0') != NULL)
    {
        return NGX_HTTP_BAD_REQUEST;
    }

    /* the filter is promised a path buffer of PATH_MAX bytes */

    if (mapped.len >= PATH_MAX) {
        return NGX_HTTP_REQUEST_URI_TOO_LARGE;
    }

    /*
     * The path buffer is the worker's own: PATH_MAX bytes from the request's
     * pool would be a large allocation (a malloc and a free) and, zeroed, a
     * 4 KiB memset on every request. A worker judges one request at a time
     * and nothing keeps the buffer past this call: a diverted path and the
     * result are copied out before the next request can come here.
     */

    buffer = ngx_http_qelmor_path_buffer;
    url = ngx_pnalloc(r->pool, r->uri.len + 1);

    if (url == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    /* neither holds a zero byte: both were looked at above */

    ngx_memcpy(buffer, mapped.data, mapped.len);
    buffer[mapped.len] = '\0';
    ngx_memcpy(url, r->uri.data, r->uri.len);
    url[r->uri.len] = '\0';

    ngx_memzero(&call, sizeof(ngx_http_qelmor_call_t));
    call.request = r;

    rc = ngx_http_qelmor_routed_host(r, &call.host);

    if (rc == NGX_DECLINED) {
        return NGX_HTTP_BAD_REQUEST;
    }

    if (rc != NGX_OK) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    ngx_memzero(&context, sizeof(HTTP_FILTER_CONTEXT));
    context.cb = sizeof(HTTP_FILTER_CONTEXT);
    context.Revision = HTTP_FILTER_REVISION;
    context.ServerContext = &call;
#if (NGX_HTTP_SSL)
    context.fIsSecurePort = r->connection->ssl != NULL;
#endif
    context.GetServerVariable = ngx_http_qelmor_get_server_variable;
    context.AddResponseHeaders = ngx_http_qelmor_add_response_headers;
    context.WriteClient = ngx_http_qelmor_write_client;
    context.AllocMem = ngx_http_qelmor_alloc_mem;
    context.ServerSupportFunction = ngx_http_qelmor_server_support_function;

    url_map.pszURL = (char *) url;
    url_map.pszPhysicalPath = (char *) buffer;
    url_map.cbPathBuff = PATH_MAX;

    status = filter->proc(&context, SF_NOTIFY_URL_MAP, &url_map);

    /*
     * The filter may have rewritten our buffer or pointed at memory of its
     * own (from AllocMem); no usable path is longer than PATH_MAX either way.
     */

    path = (u_char *) url_map.pszPhysicalPath;

    if (path == NULL) {
        len = 0;

    } else {
        bound = PATH_MAX;

        if (path == buffer && url_map.cbPathBuff < bound) {
            bound = url_map.cbPathBuff;
        }

        len = strnlen((char *) path, bound);
    }

    replaced = len != mapped.len || ngx_memcmp(path, mapped.data, len) != 0;

    ngx_log_debug5(NGX_LOG_DEBUG_HTTP, r->connection->log, 0,
                   "qelmor: \"%V\": status 0x%08XD, wrote %uz, path \"%*s\"",
                   &mapped, status, call.written_len, len,
                   path ? path : (u_char *) "");

    if (ngx_http_qelmor_note_result(r, ctx, status, &call, replaced ? path : NULL,
                                    len)
        != NGX_OK)
    {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    switch (status) {

    case SF_STATUS_REQ_NEXT_NOTIFICATION:
    case SF_STATUS_REQ_HANDLED_NOTIFICATION:

        if (replaced) {
            return ngx_http_qelmor_divert(r, ctx, path, len, &mapped, root);
        }

        if (ngx_http_qelmor_remember(r, ctx, &mapped) != NGX_OK) {
            return NGX_HTTP_INTERNAL_SERVER_ERROR;
        }

        return NGX_DECLINED;

    case SF_STATUS_REQ_FINISHED:
    case SF_STATUS_REQ_FINISHED_KEEP_CONN:

        if (call.written_len) {
            return ngx_http_qelmor_send_page(r, &call);
        }

        if (replaced) {
            return ngx_http_qelmor_divert(r, ctx, path, len, &mapped, root);
        }

        /* finished with nothing to say: IIS just drops the connection */

        return NGX_HTTP_CLOSE;

    default:
        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                      "qelmor: the filter returned status 0x%08XD", status);
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }
}


/*
 * The access phase: where IIS would call the filter, before nginx's own
 * access checks. Subrequests never come here; the content phase sees them.
 */

static ngx_int_t
ngx_http_qelmor_access_handler(ngx_http_request_t *r)
{
    ngx_int_t  rc;

    rc = ngx_http_qelmor_judge(r);

    if (rc == NGX_DECLINED) {
        return NGX_DECLINED;
    }

    /*
     * Finalized here rather than by the phase: with "satisfy any" the phase
     * would let another module's consent override a 403 or 401 of ours.
     */

    ngx_http_finalize_request(r, rc);

    return NGX_DONE;
}


/*
 * A location with a content handler of its own (mp4, flv, proxy_pass, ...)
 * skips the content handlers of the modules, ours too, so the filter is put
 * in front of that handler. The wrapper judges when it is called, not here:
 * try_files runs after us in this phase and may still change the URI.
 */

static ngx_int_t
ngx_http_qelmor_precontent_handler(ngx_http_request_t *r)
{
    ngx_http_qelmor_ctx_t       *ctx;
    ngx_http_qelmor_loc_conf_t  *qlcf;

    if (r->content_handler == NULL
        || r->content_handler == ngx_http_qelmor_guarded_content)
    {
        return NGX_DECLINED;
    }

    qlcf = ngx_http_get_module_loc_conf(r, ngx_http_qelmor_module);

    if (!qlcf->enable) {
        return NGX_DECLINED;
    }

    ctx = ngx_http_qelmor_get_ctx(r);
    if (ctx == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    ctx->content_handler = r->content_handler;
    r->content_handler = ngx_http_qelmor_guarded_content;

    return NGX_DECLINED;
}


static ngx_int_t
ngx_http_qelmor_guarded_content(ngx_http_request_t *r)
{
    ngx_int_t               rc;
    ngx_http_qelmor_ctx_t  *ctx;

    rc = ngx_http_qelmor_judge(r);

    if (rc != NGX_DECLINED) {
        return rc;
    }

    ctx = ngx_http_qelmor_get_ctx(r);

    if (ctx == NULL || ctx->content_handler == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    return ctx->content_handler(r);
}


/*
 * The content phase, first of its handlers: the file that index,
 * random_index, gzip_static or the static module is about to serve is the one
 * r->uri maps to now, after try_files, and for subrequests too.
 */

static ngx_int_t
ngx_http_qelmor_content_handler(ngx_http_request_t *r)
{
    return ngx_http_qelmor_judge(r);
}
